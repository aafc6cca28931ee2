#!/usr/bin/env bash
# Checks the command-line contract of vorn-glob that other checks rely on.
# Usage: vorn_glob_test.sh PATH-TO-vorn-glob
set -u
tool=$1
failures=0

expect() {  # expect NAME WANT-STATUS WANT-STDOUT WANT-STDERR -- ARGS...
  local name=$1 want_status=$2 want_out=$3 want_err=$4
  shift 5
  local errfile out err status
  errfile=$(mktemp)
  # The markers keep trailing newlines that command substitution would drop.
  out=$("$tool" "$@" 2>"$errfile"; printf '|%d' $?)
  status=${out##*|}
  out=${out%|*}
  err=$(cat "$errfile"; printf x)
  err=${err%x}
  rm -f "$errfile"
  if [[ $status != "$want_status" || $out != "$want_out" || $err != "$want_err" ]]; then
    echo "FAIL $name: status $status, stdout [$out], stderr [$err]"
    failures=$((failures + 1))
  fi
}

expect every-match 0 $'0 1 2\n1\n\n' '' -- '*.py' '**/x.py' 'x.py' -- x.py a/x.py b
expect no-candidates 0 '' '' -- 'a' --
expect empty-set 0 $'\n' '' -- -- a
expect unclosed-error 1 '' $'error parsing glob \'[abc\': unclosed character class; missing \']\'\n' -- 'a' '[abc' -- a
expect unclosed-literal 0 $'1\n0\n' '' -- --allow-unclosed-class 'a' '[abc' -- '[abc' a
expect line-feed 0 $'0\n' '' -- 'a?b' -- $'a\nb'
expect no-separator 2 '' $'usage: vorn-glob [--allow-unclosed-class] PATTERN... -- CANDIDATE...\n' -- 'a'
exit $((failures > 0))
