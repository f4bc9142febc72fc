#!/usr/bin/env python3
"""Checks the include graph of src/ and tools/ against the floor plan in README.md (Layout).

Each folder sits on a floor; a file may include its own folder, a folder on its floor or one
below. A module is a header and its source (folder/name without the extension); no modules
may include each other, directly or round a longer circle, and no exception excuses one. The
includes that break the floors today are listed in floor_plan_allow.txt, one line each with
the reason it remains: the list may only shrink (an entry that no longer occurs fails, and so
does one the base commit of format_base did not have).

Usage: floor_plan_test.py <source dir>
"""
import os
import re
import subprocess
import sys

# Bottom up; keep in step with README.md (Layout).
FLOORS = [
    ["platform"],
    ["store", "iface"],
    ["client"],
    ["protocol"],
    ["proxy"],
    ["fastcache"],
    ["jni", "server"],
    ["tools"],
]
FLOOR = {room: i for i, rooms in enumerate(FLOORS) for room in rooms}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
HERE = os.path.dirname(os.path.abspath(__file__))
ALLOW = os.path.join(HERE, "floor_plan_allow.txt")


def room_of(module):
    return module.split("/")[0]


def scan(root):
    """{module: {included module: first 'file:line'}} for every file under src/ and tools/."""
    graph = {}
    for top in ("src", "tools"):
        for d, _, files in os.walk(os.path.join(root, top)):
            for f in sorted(files):
                if not f.endswith((".h", ".cpp", ".cc")):
                    continue
                path = os.path.join(d, f)
                rel = os.path.relpath(path, os.path.join(root, "src"))
                if top == "tools":
                    rel = os.path.relpath(path, root)
                module = os.path.splitext(rel)[0]
                edges = graph.setdefault(module, {})
                with open(path, errors="replace") as text:
                    for n, line in enumerate(text, 1):
                        m = INCLUDE.match(line)
                        if not m or "/" not in m.group(1):
                            continue
                        target = os.path.splitext(m.group(1))[0]
                        if target != module:
                            edges.setdefault(target, f"{os.path.relpath(path, root)}:{n}")
    return graph


def parse_allow(text):
    entries = {}
    for n, line in enumerate(text.splitlines(), 1):
        body = line.split("#", 1)[0].strip()
        if not body:
            continue
        m = re.fullmatch(r"(\S+)\s*->\s*(\S+)", body)
        if not m or "#" not in line or not line.split("#", 1)[1].strip():
            raise ValueError(f"allow-list line {n}: want 'a -> b  # why': {line}")
        entries[(m.group(1), m.group(2))] = n
    return entries


def cycles(graph):
    """The strongly connected components of more than one module (Tarjan, iterative)."""
    index, low, on, stack, out, counter = {}, {}, set(), [], [], [0]
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph.get(start, {}))))]
        index[start] = low[start] = counter[0]
        counter[0] += 1
        stack.append(start)
        on.add(start)
        while work:
            v, it = work[-1]
            w = next(it, None)
            if w is not None:
                if w not in index:
                    index[w] = low[w] = counter[0]
                    counter[0] += 1
                    stack.append(w)
                    on.add(w)
                    work.append((w, iter(sorted(graph.get(w, {})))))
                elif w in on:
                    low[v] = min(low[v], index[w])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[v])
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
    return out


def base_allow(root):
    """The allow-list as the format check's base commit had it, or None when unknown."""
    try:
        with open(os.path.join(HERE, "format_base")) as f:
            base = [l.strip() for l in f if re.fullmatch(r"[0-9a-f]{40}", l.strip())][0]
        rel = os.path.relpath(ALLOW, root)
        return subprocess.run(["git", "-C", root, "show", f"{base}:{rel}"], check=True,
                              capture_output=True, text=True).stdout
    except (OSError, IndexError, subprocess.CalledProcessError):
        return None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", ".."))
    graph = scan(root)
    with open(ALLOW) as f:
        allow = parse_allow(f.read())
    faults = []
    for room in sorted({room_of(m) for m in graph} - set(FLOOR)):
        faults.append(f"folder {room} has no floor: add it to README.md (Layout) and FLOORS")
    for a, edges in sorted(graph.items()):
        for b, where in sorted(edges.items()):
            ra, rb = room_of(a), room_of(b)
            if ra in FLOOR and rb in FLOOR and FLOOR[rb] > FLOOR[ra] and (a, b) not in allow:
                faults.append(f"{where}: {ra}/ includes {rb}/, a floor above it ({a} -> {b})")
    # Every circle fails, even one through an allowed exception: the list excuses a floor, not
    # a circle.
    for comp in cycles(graph):
        members = set(comp)
        links = [f"{a} -> {b} ({w})" for a in comp for b, w in sorted(graph[a].items())
                 if b in members]
        faults.append("modules in a circle: " + ", ".join(comp) + "\n    " + "\n    ".join(links))
    for (a, b), n in sorted(allow.items(), key=lambda kv: kv[1]):
        if b not in graph.get(a, {}):
            faults.append(f"floor_plan_allow.txt:{n}: {a} -> {b} no longer occurs: remove it")
    old = base_allow(root)
    if old is not None:
        before = parse_allow(old)
        for (a, b), n in sorted(allow.items(), key=lambda kv: kv[1]):
            if (a, b) not in before:
                faults.append(f"floor_plan_allow.txt:{n}: {a} -> {b} is new: the list only "
                              "shrinks; put the shared records in a leaf header instead")
    for f in faults:
        print(f)
    print(f"floor plan: {len(graph)} modules, {len(allow)} allowed exceptions, "
          f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
