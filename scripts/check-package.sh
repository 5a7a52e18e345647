#!/bin/sh
# Builds the Debian package and checks it the way Debian and the desktops
# will see it: the desktop entry and AppStream metadata validate, lintian
# finds no error, and once installed with apt the programs run from the
# PATH, Orvelle and orvelle-card on the simulator. A package that was not
# installed before is removed again at the end. Needs root (or sudo) to
# install.
set -eu
cd "$(dirname "$0")/.."
mkdir -p build-release
sh scripts/package.sh >build-release/package.log 2>&1 || {
    cat build-release/package.log >&2
    exit 1
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build-release/CPackConfig.cmake)
deb="dist/orvelle_${version}_$(dpkg --print-architecture).deb"
echo "Checking $deb"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
tmp=$(mktemp -d)
sim=""
gui=""
installed_before=no
dpkg-query -W -f='${Status}' orvelle 2>/dev/null | grep -q "ok installed" && installed_before=yes
installed_here=no
cleanup() {
    rc=$?
    set +e
    for pid in $gui $sim; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "$installed_here" = yes ] && [ "$installed_before" = no ]; then
        $SUDO apt-get remove -y -qq orvelle >/dev/null 2>&1
    fi
    rm -rf "$tmp"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

passed=0
failed=0
check() { # check NAME COMMAND...: runs COMMAND, its output to the log
    name="$1"
    shift
    if "$@" >"$tmp/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok      $name"
    else
        failed=$((failed + 1))
        echo "FAILED  $name"
        sed 's/^/        /' "$tmp/out"
    fi
}

# --- the package's files, before installing
dpkg-deb -x "$deb" "$tmp/root"
share="$tmp/root/usr/share"
check "desktop entry validates" desktop-file-validate "$share/applications/org.orvelle.Orvelle.desktop"
check "AppStream metadata validates" appstreamcli validate --no-net "$share/metainfo/org.orvelle.Orvelle.metainfo.xml"
check "AppStream metadata names release $version" \
    grep -q "<release version=\"$version\"" "$share/metainfo/org.orvelle.Orvelle.metainfo.xml"
check "changelog's latest entry is $version" \
    sh -c "gzip -dc '$share/doc/orvelle/changelog.gz' | head -n 1 | grep -q '^orvelle ($version) '"
for page in orvelle orvelle-sim orvelle-card; do
    # The same rendering lintian uses: any warning from man fails.
    check "manual page $page(1) renders cleanly" sh -c "
        LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
            '$share/man/man1/$page.1.gz' 2>&1 >/dev/null | grep . && exit 1 || exit 0"
done
# Qt's SQL drivers are plugins no library scan finds: the package names them.
sql_drivers() {
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    for driver in libqt6sql6-sqlite libqt6sql6-psql; do
        echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx "$driver" || { echo "$driver is missing"; return 1; }
    done
}
check "package depends on the ledger's SQL drivers" sql_drivers
lintian_ok() {
    status=0
    lintian --fail-on error --display-info "$deb" >"$tmp/lintian" 2>&1 || status=$?
    grep -v "running with root privileges" "$tmp/lintian" >"$tmp/lintian.tags" || true
    return "$status"
}
check "lintian reports no error" lintian_ok
sed 's/^/        lintian: /' "$tmp/lintian.tags"

# --- installed with apt, run from the PATH
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -qq --no-install-recommends --reinstall "./$deb" >"$tmp/apt.log" 2>&1 || {
    cat "$tmp/apt.log" >&2
    echo "package: $passed passed, $((failed + 1)) failed"
    exit 1
}
installed_here=yes
on_path() {
    for program in orvelle orvelle-sim orvelle-card; do
        [ "$(command -v "$program")" = "/usr/bin/$program" ] || { echo "$program is not /usr/bin/$program"; return 1; }
    done
}
check "orvelle, orvelle-sim and orvelle-card are on the PATH" on_path
for program in orvelle-sim orvelle-card; do
    check "$program --help works" sh -c "$program --help | grep -q '^Usage: $program'"
done
# Every option --help lists is in the manual page too.
man_options() { # man_options PROGRAM
    MANWIDTH=200 man -l "/usr/share/man/man1/$1.1.gz" >"$tmp/$1.txt" 2>/dev/null
    for option in $("$1" --help | grep -o -- '--[a-z-]*' | sort -u); do
        grep -q -e "$option" "$tmp/$1.txt" || { echo "$option is not in $1(1)"; return 1; }
    done
}
for program in orvelle-sim orvelle-card; do
    check "$program(1) has every option of --help" man_options "$program"
done

# Orvelle against the simulator, both as installed, in a port map of their
# own, their journal and ledger in folders of their own too: a check writes
# nothing into the home of whoever runs it.
export XDG_CONFIG_HOME="$tmp/config" XDG_STATE_HOME="$tmp/state" XDG_DATA_HOME="$tmp/data"
orvelle-sim --port COM1 >"$tmp/sim.log" 2>&1 </dev/null &
sim=$!
QT_QPA_PLATFORM=offscreen orvelle >"$tmp/orvelle.log" 2>&1 </dev/null &
gui=$!
# Orvelle opens COM1 once its window shows; the simulator logs the link test
# and its reply. Wait for that (up to 60 s), or for either program to end.
linked() {
    i=0
    while ! grep -q "ok link test" "$tmp/sim.log"; do
        i=$((i + 1))
        if [ "$i" -gt 600 ] || ! kill -0 "$sim" 2>/dev/null || ! kill -0 "$gui" 2>/dev/null; then
            echo "--- orvelle-sim:"; cat "$tmp/sim.log"; echo "--- orvelle:"; cat "$tmp/orvelle.log"
            return 1
        fi
        sleep 0.1
    done
    kill -0 "$gui" # still running once linked
}
check "orvelle starts and links to orvelle-sim" linked
# orvelle-card on the same simulator once the window has let the port go: the
# simulator's card has the default keys, so every sector is read.
card_reads() {
    kill "$gui" 2>/dev/null
    wait "$gui" 2>/dev/null
    gui=""
    orvelle-card read "$tmp/card.bin" >"$tmp/card.log" 2>&1 || { cat "$tmp/card.log"; return 1; }
    [ "$(stat -c %s "$tmp/card.bin")" -eq 1024 ]
}
check "orvelle-card reads the simulator's card" card_reads

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
