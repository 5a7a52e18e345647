# Sourced by the build scripts: how ccache is to treat Orvelle's builds.
# Entries keyed by paths relative to the checkout, so that a fresh clone (as
# CI makes) reuses what an earlier build of the same sources compiled; the
# sloppiness its manual asks for precompiled headers (which the build makes
# just before the sources that use them); and the inode cache, so that a
# precompiled header of some 200 MB is hashed once, not for every source
# that includes it.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}"
export CCACHE_INODECACHE="${CCACHE_INODECACHE:-true}"
