#!/bin/sh
# The manual pages cannot drift from the program: every command, option, exit
# status and default file of 'qvim help' is in qvim(8), qvim(8) names no option
# the program lacks, qvim-rules(5) names every entity kind, and both format
# without warnings.
# The bash completion offers each command's own options and no unknown one.
# Usage: manpage_test.sh QVIM QVIM_8 QVIM_RULES_5 COMPLETION
set -eu
qvim=$1 page=$2 rules_page=$3 completion=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# Roff without font changes and with plain hyphens, for searching.
plain() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$1"; }
plain "$page" >"$work/page"
plain "$rules_page" >"$work/rules"
# The lines of one section (.SH NAME) or command (.SS NAME ...) up to the next heading.
section() { awk -v head="$1" '/^\.S[HS] / {inside = ($0 ~ "^" head "( |$)"); next} inside' "$work/page"; }

"$qvim" help >"$work/overview"
commands=$(awk '/^Commands:/ {inside=1; next} inside && NF == 0 {exit} inside {print $1}' "$work/overview")
[ -n "$commands" ] || fail "'qvim help' lists no command"
options_in() { grep -o -- '--[a-z][a-z-]*\|^ *-[a-z],' "$1" | tr -d ' ,' | sort -u; }
common_block() { awk '/^Options for every command/ {inside=1; next} inside && NF == 0 {exit} inside' "$1"; }
# The options every command shares, as the help of one command shows them.
"$qvim" help init | common_block /dev/stdin >"$work/common"
options_in "$work/common" >"$work/common-options"

for option in $(cat "$work/common-options") --version; do
  section '.SH OPTIONS' | grep -q -- "$option\b" || fail "OPTIONS does not describe $option"
done

# The options of a command's own: its help up to the block every command shares.
own_options() {
  "$qvim" help "$1" | sed '/^Options for every command/,$d' >"$work/own"
  options_in "$work/own" | grep -vxFf "$work/common-options" || true
}
# The help of 'help' is the overview, which has every command's options.
for command in $(printf '%s\n' $commands | grep -vx help); do
  section ".SS $command" >"$work/section"
  [ -s "$work/section" ] || { fail "no section for the command $command"; continue; }
  for option in $(own_options "$command"); do
    grep -q -- "$option\b" "$work/section" || grep -q -- "^\.SS $command .*$option\b" "$work/page" ||
      fail "the section of $command does not describe $option"
  done
done

# Nothing in the page the program does not know.
cat "$work/overview" >"$work/all-help"
for command in $commands; do "$qvim" help "$command" >>"$work/all-help"; done
known=$(options_in "$work/all-help")
for option in $(sed '/^\.SH EXAMPLES/,/^\.SH /d' "$work/page" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  printf '%s\n' "$known" | grep -qx -- "$option" || fail "qvim(8) names $option, which the program does not know"
done
for command in $(grep '^\.SS ' "$work/page" | awk '{print $2}'); do
  printf '%s\n' $commands | grep -qx "$command" || fail "qvim(8) describes the command $command, which the program lacks"
done

# Exit statuses: each number of the help's "Exit status:" paragraph.
codes=$(awk '/^Exit status:/ {inside=1} inside && NF == 0 {exit} inside' "$work/overview" | grep -o '[0-9][0-9]* [a-z]' | cut -d' ' -f1)
[ -n "$codes" ] || fail "the help gives no exit status"
for code in $codes; do
  section '.SH EXIT STATUS' | grep -qx "\.B $code" || fail "EXIT STATUS does not list $code"
done

# Default files the help names.
for file in $(grep -o '[ (]/[a-z/]*\(im\.db\|rules\.json\)' "$work/all-help" | cut -c2- | sort -u); do
  section '.SH FILES' | grep -q -- "$file" || fail "FILES does not list $file"
done
for kind in $(grep -A1 -- '^ *--kind KIND' "$work/all-help" | grep -o '[A-Z][A-Za-z]*' | grep -v '^KIND$\|^All$' | sort -u); do
  grep -q "\b$kind\b" "$work/rules" || fail "qvim-rules(5) does not name the kind $kind"
done

# The example ruleset is one the program accepts (its bases moved into a scratch folder).
mkdir -p "$work/example/etc" "$work/example/bin"
echo x >"$work/example/etc/hosts"
awk '/^\.SH EXAMPLE/ {inside=1; next} inside && /^\.nf/ {copy=1; next} copy && /^\.fi/ {exit} copy' "$rules_page" |
  sed -e 's/\\e/\\/g' -e "s|\"/etc\"|\"$work/example/etc\"|g" -e "s|\"/usr/bin\"|\"$work/example/bin\"|g" >"$work/example.json"
if ! "$qvim" init --rules "$work/example.json" --db "$work/example/im.db" -q >"$work/example.log" 2>&1; then
  fail "qvim init refuses the example of qvim-rules(5): $(cat "$work/example.log")"
fi

# What the completion offers after "qvim COMMAND -".
offered() {
  bash -c '. "$1"; COMP_WORDS=(qvim "$2" -); COMP_CWORD=2; _qvim; printf "%s\n" "${COMPREPLY[@]}"' sh "$completion" "$1"
}
for command in $(printf '%s\n' $commands | grep -vx help); do
  offered "$command" >"$work/offered"
  for option in $(own_options "$command" | grep -- '^--'); do
    grep -qx -- "$option" "$work/offered" || fail "completion does not offer $option after $command"
  done
  for option in $(cat "$work/offered"); do
    printf '%s\n' "$known" | grep -qx -- "$option" || fail "completion offers $option after $command, which the program does not know"
  done
done
bash -c '. "$1"; COMP_WORDS=(qvim ""); COMP_CWORD=1; _qvim; printf "%s\n" "${COMPREPLY[@]}"' sh "$completion" >"$work/offered"
for command in $commands; do
  grep -qx "$command" "$work/offered" || fail "completion does not offer the command $command"
done

if command -v groff >/dev/null 2>&1; then
  for f in "$page" "$rules_page"; do
    warnings=$(groff -man -Tutf8 -ww -z "$f" 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$f") formats with warnings: $warnings"
  done
else
  echo "groff is missing: the formatting check is skipped"
fi
[ $status -eq 0 ] && echo "qvim(8), qvim-rules(5) and the completion match the program's help"
exit $status
