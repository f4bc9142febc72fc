#!/usr/bin/env bash
# Fails when a C++ line added or changed since the commit in tests/house/format_base (the
# working tree against it, committed or not) is not laid out as .clang-format says. Only
# those lines are checked: older code is left as it was written.
# Usage: format_check.sh <source dir>. Exits 77 (skipped) when the base is not in the clone's
# history (a shallow clone) or the tree is not a git checkout.
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"
base=$(grep -v '^#' tests/house/format_base | grep -E '^[0-9a-f]{40}$' | head -n 1)
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
   ! git cat-file -e "$base^{commit}" 2>/dev/null; then
  echo "format check skipped: base $base is not in this checkout's history"
  exit 77
fi
fmt=$(command -v clang-format || true)
if [ -z "$fmt" ]; then
  echo "format check: clang-format is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
out=$(git clang-format --binary "$fmt" --diff --extensions h,cpp,cc,c "$base" -- \
  src tools tests bench fuzz 2>&1) || true
case "$out" in
  "" | *"no modified files to format"* | *"did not modify any files"*)
    echo "format check: lines changed since ${base:0:12} are formatted"
    exit 0 ;;
esac
echo "$out"
echo "format check: the lines above are not formatted; run: git clang-format $base" >&2
exit 1
