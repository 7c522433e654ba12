#!/usr/bin/env bash
# Fails, naming each file, when a C or C++ source of the repository is not as clang-format (with
# the repository's .clang-format) would write it. scripts/format.sh rewrites them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.c' '*.cpp' '*.h')
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted (run scripts/format.sh): ${bad[*]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files as clang-format writes them"
