#!/usr/bin/env bash
# The loadable extension in the stock sqlite3 shell: `.load` (without the file's suffix, as users
# write it), attach a copy of the Kunden fixture, and query it by key and in full.
# Usage: extension_shell_test.sh EXTENSION (TARVO_FIXTURES names the fixture folder).
set -euo pipefail
extension=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$TARVO_FIXTURES"/basic/Kunden.* "$dir"/
chmod u+w "$dir"/*
out=$(sqlite3 -batch :memory: ".load ${extension%.so}" ".output /dev/null" "SELECT tarvo_attach('$dir');" ".output stdout" \
  "SELECT count(*), max(ID) FROM Kunden;" \
  "SELECT Name, Born FROM Kunden WHERE ID = 10;" \
  "SELECT count(*) FROM Kunden WHERE ID = 9;")
expected='178|200
Bw3S8-sWsaoBbAmC2hF9UVg|1933-02-01
0'
if [ "$out" != "$expected" ]; then
  printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$out"
  exit 1
fi
