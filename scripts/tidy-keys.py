#!/usr/bin/env python3
"""Prints "KEY FILE" for each FILE of a compile database: a digest of all
that clang-tidy's verdict on it depends on (clang-tidy's version, the
.clang-tidy checks, the compile command and the text the preprocessor makes
of the source and every header it includes). The checkout's folder is taken
out first, so a clone in another folder gets the same keys. A file whose
text cannot be had gets no line, and so is always checked.

    tidy-keys.py COMPILE_COMMANDS.json ROOT FILE...
"""
import concurrent.futures
import hashlib
import json
import os
import shlex
import subprocess
import sys


def main():
    database, root, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    with open(database, encoding="utf-8") as f:
        entries = {os.path.relpath(e["file"], root): e for e in json.load(f)}
    common = hashlib.sha256()
    common.update(subprocess.run(["clang-tidy", "--version"], capture_output=True, check=True).stdout)
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        common.update(f.read())

    def key(name):
        entry = entries.get(name)
        if entry is None:
            return None
        args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        # The preprocessor alone, writing to standard output.
        pre, skip = ["clang++"], False
        for arg in args[1:]:
            if skip:
                skip = False
            elif arg == "-o":
                skip = True
            elif arg != "-c":
                pre.append(arg)
        pre += ["-E", "-w"]
        run = subprocess.run(pre, cwd=entry["directory"], capture_output=True)
        if run.returncode != 0:
            return None
        digest = common.copy()
        digest.update(" ".join(args).replace(root, "@").encode())
        digest.update(run.stdout.replace(root.encode(), b"@"))
        return digest.hexdigest()

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        for name, k in zip(files, pool.map(key, files)):
            if k:
                print(k, name)


if __name__ == "__main__":
    main()
