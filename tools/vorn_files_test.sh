#!/usr/bin/env bash
# End-to-end checks of the vorn-files command line: options, output form,
# exit codes and the error text on stderr.
# Usage: vorn_files_test.sh PATH-TO-vorn-files
tool=$1
source "$(dirname "$0")/check.sh"
mkdir -p "$tmp/w/--odd/gen" "$tmp/w/sub" "$tmp/target"
cd "$tmp/w" || exit 1
touch -- a.py b.rs notes. --odd/x.py --odd/gen/g.py sub/c.py "$tmp/target/t.py"
ln -s "$tmp/target" linked

nl=$'\n'
check "several extensions, sorted" 0 "./--odd/gen/g.py${nl}./--odd/x.py${nl}./a.py${nl}./b.rs${nl}./sub/c.py${nl}" "" \
  -- --ext py --ext rs -- .
check "options after the root, values that look like options" 0 "./--odd/x.py${nl}" "" \
  -- . --exclude --odd/gen --ext py --exclude a.py --exclude sub
check "the empty extension" 0 "./notes.${nl}" "" -- --ext '' .
check "no extension walks but selects nothing" 0 "" "" -- .
check "exclusions" 0 "./--odd/x.py${nl}./a.py${nl}" "" -- --ext py --exclude gen --exclude /sub .
check "links followed on request" 0 "linked/t.py${nl}" "" -- --follow-links --ext py linked
check "a failed walk" 1 "" "io: nope: IO error for operation on nope: No such file or directory (os error 2)${nl}" \
  -- --ext py nope
check "a bad exclusion" 1 "" "io: error parsing glob '![x': unclosed character class; missing ']'${nl}" \
  -- --exclude '[x' .
usage="usage: vorn-files [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--] ROOT${nl}"
check "no root" 2 "" "$usage" --
check "two roots" 2 "" "$usage" -- a b
check "a second root after --" 2 "" "$usage" -- . -- --ext
check "unknown option" 2 "" "$usage" -- --verbose .
check "an option of vorn-scan" 2 "" "$usage" -- --warnings .
check "option without value" 2 "" "$usage" -- . --ext

finish
