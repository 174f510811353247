#!/usr/bin/env bash
# Checks every C++ file of the tree against .clang-format; names the files
# that differ and exits 1, or prints "format: ok".
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
if ! report=$(clang-format --dry-run -Werror "${files[@]}" 2>&1); then
  grep -o '^[^:]*:[0-9]*:' <<<"$report" | cut -d: -f1 | sort -u | sed 's/$/: not formatted (run clang-format -i)/'
  exit 1
fi
echo "format: ok (${#files[@]} files)"
