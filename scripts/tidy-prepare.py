#!/usr/bin/env python3
"""Prepares a clang-tidy run over a build folder's compile commands:

    tidy-prepare.py BUILD_DIR ROOT [--keys] FILE...

writes BUILD_DIR/tidy/compile_commands.json: the build's commands without
its precompiled headers (GCC made them, clang cannot read them, and each
source is to be checked on its own includes). With --keys it prints
"KEY FILE" for each FILE: a digest of all that clang-tidy's verdict on it
depends on (clang-tidy's version, the .clang-tidy checks, the compile command
and the text the preprocessor makes of the source and every header it
includes), with the checkout's folder ROOT taken out, so a clone in another
folder gets the same keys. A file whose text cannot be had gets no line,
and so is always checked.
"""
import concurrent.futures
import hashlib
import json
import os
import shlex
import subprocess
import sys


def without_pch(args):
    kept, skip = [], 0
    for i, arg in enumerate(args):
        if skip:
            skip -= 1
        elif arg == "-Winvalid-pch":
            continue
        elif arg == "-include" and i + 1 < len(args) and args[i + 1].endswith("/cmake_pch.hxx"):
            skip = 1
        else:
            kept.append(arg)
    return kept


def key(entry, root, common):
    args = entry["arguments"]
    # The preprocessor alone, writing to standard output.
    pre, skip = ["clang++"], False
    for arg in args[1:]:
        if skip:
            skip = False
        elif arg == "-o":
            skip = True
        elif arg != "-c":
            pre.append(arg)
    run = subprocess.run(pre + ["-E", "-w"], cwd=entry["directory"], capture_output=True, check=False)
    if run.returncode != 0:
        return None
    digest = common.copy()
    digest.update(" ".join(args).replace(root, "@").encode())
    digest.update(run.stdout.replace(root.encode(), b"@"))
    return digest.hexdigest()


def main():
    build, root, files = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3:]
    keys = files[:1] == ["--keys"]
    files = files[1:] if keys else files
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = []
        for e in json.load(f):
            if os.path.basename(e["file"]).startswith("cmake_pch."):
                continue  # the precompiled headers' own commands
            args = e["arguments"] if "arguments" in e else shlex.split(e["command"])
            entries.append({"directory": e["directory"], "file": e["file"], "arguments": without_pch(args)})
    os.makedirs(os.path.join(build, "tidy"), exist_ok=True)
    with open(os.path.join(build, "tidy", "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump(entries, f, indent=1)
    if not keys:
        return
    common = hashlib.sha256()
    common.update(subprocess.run(["clang-tidy", "--version"], capture_output=True, check=True).stdout)
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        common.update(f.read())
    by_name = {os.path.relpath(e["file"], root): e for e in entries}
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        found = pool.map(lambda name: by_name.get(name) and key(by_name[name], root, common), files)
        for name, k in zip(files, found):
            if k:
                print(k, name)


if __name__ == "__main__":
    main()
