#!/usr/bin/env bash
# End-to-end checks of the vorn-files command line: options, output form,
# exit codes and the error text on stderr.
# Usage: vorn_files_test.sh PATH-TO-vorn-files
set -uo pipefail
tool=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/.config
mkdir -p "$HOME" "$tmp/w/--odd/gen" "$tmp/w/sub" "$tmp/target"
cd "$tmp/w"
touch -- a.py b.rs notes. --odd/x.py --odd/gen/g.py sub/c.py "$tmp/target/t.py"
ln -s "$tmp/target" linked

failures=0
# expect NAME WANT-STATUS WANT-STDOUT WANT-STDERR -- ARGS...
expect() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  local got_out got_err got_status
  got_out=$("$tool" "$@" 2>"$tmp/stderr"; echo "status $?")
  got_err=$(cat "$tmp/stderr")
  got_status=${got_out##*status }
  got_out=${got_out%status *}
  if [[ $got_status != "$status" || $got_out != "$out" || $got_err != "$err" ]]; then
    printf 'FAIL %s\n  status %s (want %s)\n  stdout %q\n  want   %q\n  stderr %q\n  want   %q\n' \
      "$name" "$got_status" "$status" "$got_out" "$out" "$got_err" "$err"
    failures=$((failures + 1))
  fi
}

nl=$'\n'
expect "several extensions, sorted" 0 "./--odd/gen/g.py${nl}./--odd/x.py${nl}./a.py${nl}./b.rs${nl}./sub/c.py${nl}" "" \
  -- --ext py --ext rs -- .
expect "the empty extension" 0 "./notes.${nl}" "" -- --ext '' .
expect "no extension walks but selects nothing" 0 "" "" -- .
expect "exclusions" 0 "./--odd/x.py${nl}./a.py${nl}" "" -- --ext py --exclude gen --exclude /sub .
expect "links followed on request" 0 "linked/t.py${nl}" "" -- --follow-links --ext py linked
expect "a failed walk" 1 "" "io: nope: IO error for operation on nope: No such file or directory (os error 2)" \
  -- --ext py nope
expect "a bad exclusion" 1 "" "io: error parsing glob '![x': unclosed character class; missing ']'" \
  -- --exclude '[x' .
usage="usage: vorn-files [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--] ROOT"
expect "no root" 2 "" "$usage" --
expect "two roots" 2 "" "$usage" -- a b
expect "unknown option" 2 "" "$usage" -- --verbose .
expect "option without value" 2 "" "$usage" -- . --ext

exit $((failures > 0))
