#!/bin/sh
# The program reaches qvim.so through Engine.cpp alone: no other source calls
# a function of the public header.
set -eu
header="$1"
sources="$2"
names=$(sed -n 's/^QVIM_API[^(]*[ *]\([a-z_]*\)(.*/\1/p' "$header")
[ -n "$names" ] || { echo "no functions found in $header"; exit 1; }
pattern=$(printf '%s\n' $names | paste -sd'|')
# Comments may name the functions; calls are names followed by a parenthesis.
found=$(grep -nE "(^|[^A-Za-z0-9_.>])($pattern)[[:space:]]*\(" "$sources"/*.cpp "$sources"/*.h |
        grep -v "^$sources/Engine.cpp:" | grep -vE '^[^:]*:[0-9]+:[[:space:]]*//' || true)
if [ -n "$found" ]; then
  echo "calls of qvim.so outside Engine.cpp:"
  printf '%s\n' "$found"
  exit 1
fi
echo "only Engine.cpp calls qvim.so ($(printf '%s\n' $names | wc -l) functions checked)"
