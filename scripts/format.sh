#!/usr/bin/env bash
# Rewrites every C and C++ source of the repository as clang-format does with .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z --cached --others --exclude-standard '*.c' '*.cpp' '*.h' | xargs -0 clang-format -i
