#!/bin/sh
# The service units load cleanly in systemd and stay hardened: the installed
# program path is swapped for the built one, since systemd checks that it exists.
# Usage: units_test.sh UNIT_DIR INSTALLED_QVIM BUILT_QVIM QVIM_8_GZ QVIM_RULES_5_GZ
set -eu
units=$1 installed=$2 built=$3 man8=$4 man5=$5
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skipped: systemd-analyze is missing (package systemd), so the units cannot be verified"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

for unit in qvim-check.service qvim-watch.service; do
  grep -q "^ExecStart=$installed " "$units/$unit" || fail "$unit does not start $installed"
  sed "s|^ExecStart=$installed |ExecStart=$built |" "$units/$unit" >"$work/$unit"
done
cp "$units/qvim-check.timer" "$work/"
# Documentation= is checked too: the manual pages must be where man finds them.
mkdir -p "$work/man/man8" "$work/man/man5"
cp "$man8" "$work/man/man8/" && cp "$man5" "$work/man/man5/"

man_check=--man=yes
command -v man >/dev/null 2>&1 || { man_check=--man=no; echo "man is missing: Documentation= is not checked"; }

cd "$work"
if ! output=$(MANPATH=$work/man systemd-analyze verify $man_check ./qvim-check.service ./qvim-check.timer ./qvim-watch.service 2>&1) ||
   [ -n "$output" ]; then
  fail "systemd-analyze verify: $output"
fi
for unit in qvim-check.service qvim-watch.service; do
  exposure=$(systemd-analyze security --offline=yes "./$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  [ -n "$exposure" ] || { fail "systemd-analyze security gave no exposure level for $unit"; continue; }
  echo "$unit: exposure $exposure"
  # Reading every file as root costs some points; any setting dropped from the
  # sandbox costs more. A wider sandbox needs its reason written here.
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.4) }' || fail "$unit is exposed at $exposure (more than 2.4)"
done
[ $status -eq 0 ] && echo "units verified"
exit $status
