#!/usr/bin/env python3
"""Reports what a reviewer of the code's shape asks first: the longest
functions, the files over the line limit, and the circles of includes inside
each folder. A heuristic reader, not a compiler: a function is a line that
opens a brace at the top level (namespace bodies count as top level) after a
parenthesised list, and it runs to the brace that closes it.

  python3 scripts/measure.py [--functions N] [--limit LINES] [--check]

--check exits 1 when a folder's files include each other in a circle or a
product file is over the limit (lint runs it so)."""
import argparse
import os
import re
import subprocess
import sys

PRODUCT = ["protocol", "serial", "reader", "session", "records", "widgets", "app", "cardtool", "sim", "bench"]


def tracked(folders, exts=(".cpp", ".h")):
    out = subprocess.run(["git", "ls-files"] + folders, capture_output=True, text=True, check=True).stdout
    return [f for f in out.split() if f.endswith(exts)]


def strip(text):
    """Blanks comments and string/char literals, keeping the line breaks."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + "\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    text = strip(open(path, encoding="utf-8").read())
    lines = text.split("\n")
    found, depth, scopes = [], 0, []  # scopes: True for a namespace/extern brace
    pending = ""
    start = None
    for no, line in enumerate(lines, 1):
        for ch in line:
            if ch == "{":
                head = pending.strip()
                ns = depth == sum(1 for s in scopes if s) and re.search(r'\b(namespace|extern)\b[^;()]*$', head)
                at_top = depth == sum(1 for s in scopes if s)
                if at_top and not ns and ")" in head and not re.search(r'\b(class|struct|enum|union)\b[^()]*$', head) \
                        and not re.search(r'=\s*$', head):
                    m = re.search(r'([A-Za-z_~][\w:~<>]*)\s*\([^;]*$', head.split(")")[0] + "(") \
                        or re.search(r'([A-Za-z_~][\w:~]*)\s*\(', head)
                    name = re.search(r'([A-Za-z_~][\w:~]*(?:operator\S+)?)\s*\(', head)
                    start = (no, name.group(1) if name else "?")
                    scopes.append(False)
                    func_depth = depth
                    depth += 1
                    pending = ""
                    continue
                scopes.append(bool(ns))
                depth += 1
                pending = ""
            elif ch == "}":
                depth -= 1
                if scopes:
                    scopes.pop()
                if start and depth == func_depth:
                    found.append((no - start[0] + 1, start[1], path, start[0]))
                    start = None
                pending = ""
            elif ch == ";" and start is None:
                pending = ""
            else:
                if start is None:
                    pending += ch
        if start is None:
            pending += " "
            if line.lstrip().startswith("#"):
                pending = ""
    return found


def circles(folder):
    files = tracked([folder])
    stems = {}
    for f in files:
        stems.setdefault(os.path.splitext(f)[0], []).append(f)
    edges = {s: set() for s in stems}
    for s, fs in stems.items():
        for f in fs:
            for inc in re.findall(r'^#\s*include\s+"([^"]+)"', open(f, encoding="utf-8").read(), re.M):
                t = os.path.splitext(inc)[0]
                if t in stems and t != s:
                    edges[s].add(t)
    # Tarjan's strongly connected components over units (a .h with its .cpp).
    index, low, stack, on, out, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in edges[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    sys.setrecursionlimit(10000)
    for v in sorted(edges):
        if v not in index:
            visit(v)
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--functions", type=int, default=10)
    p.add_argument("--over", type=int, default=60)
    p.add_argument("--limit", type=int, default=600)
    p.add_argument("--check", action="store_true")
    a = p.parse_args()
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    bad = 0
    long_files = [(sum(1 for _ in open(f, encoding="utf-8")), f) for f in tracked(PRODUCT)]
    long_files = sorted([x for x in long_files if x[0] > a.limit], reverse=True)
    for folder in PRODUCT:
        for c in circles(folder):
            print(f"circle in {folder}/: " + " -> ".join(os.path.basename(x) for x in c))
            bad += 1
    for n, f in long_files:
        print(f"file over {a.limit} lines: {f} ({n})")
        bad += 1
    if a.check:
        return 1 if bad else 0
    funcs = sorted((x for f in tracked(PRODUCT, (".cpp",)) for x in functions(f)), reverse=True)
    over = [x for x in funcs if x[0] > a.over]
    print(f"functions over {a.over} lines: {len(over)}")
    for n, name, f, line in funcs[:a.functions]:
        print(f"  {n:4d}  {name}  {f}:{line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
