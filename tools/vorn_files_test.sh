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

# Short of descriptors, a walk either fails with its I/O error or lists what
# it lists with plenty of them: an ignore file it could not open is never
# taken for an absent one. Workers list folders at once, so each limit is
# tried a few times. Which limits run out depends on the machine (and a
# sanitized build may fail in its own runtime first), so none is required to.
mkdir -p "$tmp/repo/.git"
for a in a b c d e f g h; do
  for b in 1 2 3 4; do
    mkdir -p "$tmp/repo/$a/$b"
    touch "$tmp/repo/$a/$b/"{x.py,y.gen.py,z.py}
    printf 'z.py\n' >"$tmp/repo/$a/$b/.gitignore"
  done
  printf '*.gen.py\n' >"$tmp/repo/$a/.gitignore"
done
wanted=$("$tool" --ext py "$tmp/repo"; printf '|')
wanted=${wanted%|}
for limit in 4 5 6 7 8 9 10 11 12; do
  for _ in 1 2 3 4; do
    got=$( (ulimit -n "$limit" && exec "$tool" --ext py "$tmp/repo") 2>"$tmp/stderr"
      printf '|%d' $?)
    status=${got##*|}
    if [[ $status == 0 && ${got%|*} != "$wanted" ]]; then
      printf 'FAIL ulimit -n %s: a wrong list\n' "$limit"
      failures=$((failures + 1))
    elif [[ $status != 0 && ! -s $tmp/stderr ]]; then
      printf 'FAIL ulimit -n %s: status %s without a message\n' "$limit" "$status"
      failures=$((failures + 1))
    fi
  done
done

finish
