#!/usr/bin/env bash
# Every built-in scenario, traced twice in two processes (so under two different address-space
# layouts), must give the same standard error byte for byte, with no address in it.
# usage: traces_repeat.sh SCANFW_SIM
set -euo pipefail
sim=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
names=$("$sim" --list | awk '{print $1}')
[ -n "$names" ] || { echo "no built-in scenarios listed"; exit 1; }
for name in $names; do
  for run in 1 2; do
    "$sim" --scenario "$name" --clock virtual --trace >/dev/null 2>"$work/$name.$run"
  done
  if ! cmp -s "$work/$name.1" "$work/$name.2"; then
    echo "$name: two runs trace differently:"; diff "$work/$name.1" "$work/$name.2" | head -5; failed=1
  fi
  # A user-space address on x86-64 Linux has at least nine hex digits; no name or value has.
  if grep -qE '0x[0-9A-Fa-f]{9,}' "$work/$name.1"; then
    echo "$name: an address in the trace:"; grep -m3 -E '0x[0-9A-Fa-f]{9,}' "$work/$name.1"; failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "$(echo "$names" | wc -l) scenarios, each traced alike twice"
exit "$failed"
