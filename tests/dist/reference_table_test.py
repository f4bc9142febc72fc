#!/usr/bin/env python3
"""Checks the README's reference tables against the code, so that they cannot drift apart.

- Environment variables: every name the code reads (a literal on a line that reads the
  environment, or a constant named ...Env / ...Variable, or kdrcached's option table, or the
  launch script) has a row in the README's variable table, and every row names one the code
  reads.
- kdrcached's options: the rows of the README's option table are exactly the flags of the
  option table in src/server/config.cpp (plus --help and --version).
- The tools' options: every long option in kdrvault's and kdrcstore's --help text appears in
  the README.

Usage: reference_table_test.py SOURCE_DIR
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
NAME = r'"((?:KDR|VXN|KDRC|KDRCACHED|AWS)_[A-Z0-9_]+|USERNAME)"'
READS = re.compile(r"GetEnv|getenv|EnvInt|getGetEnv|getFilePath|Env\s*=|EnvName|Variable\[\]\s*=|std::pair\{")

code_env = set()
for path in list((root / "src").rglob("*.[ch]*")) + list((root / "tools").rglob("*.cpp")):
    for line in path.read_text(errors="replace").splitlines():
        names = re.findall(NAME, line)
        if not names:
            continue
        if READS.search(line) or re.search(r'\{"--[a-z0-9-]+",\s*"', line):
            code_env.update(names)
for line in (root / "dist" / "startvxn.sh").read_text().splitlines():
    if not line.lstrip().startswith("#"):
        code_env.update(re.findall(r"\$\{?((?:KDR|VXN|KDRC|KDRCACHED)_[A-Z0-9_]+)", line))

config = (root / "src" / "server" / "config.cpp").read_text()
code_flags = set(re.findall(r'\{"(--[a-z0-9-]+)",\s*(?:"|nullptr)', config)) | {"--help", "--version"}

readme = (root / "README.md").read_text()


def table_after(heading):
    """First-column names (in backticks) of the table under the given heading."""
    m = re.search(r"^#{2,4} " + re.escape(heading) + r"\s*$", readme, re.M)
    if m is None:
        sys.exit(f"README: no section {heading!r}")
    at = m.start()
    rows = set()
    started = False
    for line in readme[at:].splitlines()[1:]:
        if line.startswith("|"):
            started = True
            m = re.match(r"\|\s*`([^`]+)`", line)
            if m:
                rows.add(m.group(1).split()[0].split("=")[0])
        elif started:
            break
        elif line.startswith("#"):
            break
    return rows


readme_env = table_after("Environment variables")
readme_flags = table_after("kdrcached options")

failures = []
for name in sorted(code_env - readme_env):
    failures.append(f"the code reads {name}, the README's variable table lacks it")
for name in sorted(readme_env - code_env):
    failures.append(f"the README's variable table has {name}, which no code reads")
for flag in sorted(code_flags - readme_flags):
    failures.append(f"kdrcached takes {flag}, the README's option table lacks it")
for flag in sorted(readme_flags - code_flags):
    failures.append(f"the README's option table has {flag}, which kdrcached does not take")
for tool in ("tools/kdrvault/main.cpp", "tools/kdrcstore/kdrcstore.cpp"):
    usage = (root / tool).read_text()
    for flag in sorted(set(re.findall(r'"\s+(?:-[a-zA-Z], )?(--[a-z][a-z0-9-]+)', usage))):
        if f"`{flag}" not in readme:
            failures.append(f"{tool} takes {flag}, the README does not mention it")

for f in failures:
    print("MISMATCH:", f)
print(f"{len(code_env)} variables, {len(code_flags)} kdrcached options checked; "
      f"{len(failures)} mismatches")
sys.exit(1 if failures else 0)
