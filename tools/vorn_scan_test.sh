#!/usr/bin/env bash
# End-to-end checks of vorn-scan: the whole JSON report of small trees, the
# suppressions and severity settings as they reach the report, the warnings,
# the error texts and exit codes.
# Usage: vorn_scan_test.sh PATH-TO-vorn-scan
tool=$1
source "$(dirname "$0")/check.sh"
filter='s/"elapsed_ms":[0-9]*/"elapsed_ms":0/'
mkdir -p "$tmp/w/sub" "$tmp/bad" "$tmp/marks"
cd "$tmp/w" || exit 1
printf 'x TODO one\r\nplain\nFIXME and TODO\n' >a.txt
: >empty.txt
printf 'TODO 1 vorn: ignore todo\nTODO 2\nTODO 3\nFIXME 4 vorn: ignore-file fixme\tmore\n' >sub/s.txt
printf '\xffTODO\n' >sub/latin1.txt
printf 'TODO elsewhere\n' >skipped.md
printf 'TODO\n' >"$tmp/bad/"$'\xff'.txt
nl=$'\n'

builtin_scores='"maintainability":100.0,"security":100.0,"complexity":100.0,"documentation":100.0,"test_smell":100.0'
todo_a1='{"analyzer":"todo","dimension":"maintainability","rule_id":"todo","severity":"low","message":"TODO marker","location":{"file":"./a.txt","span":{"start":0,"end":11},"start":{"line":1,"column":1},"end":{"line":1,"column":12}},"suggestion":null,"references":[]}'
fixme_a3='{"analyzer":"fixme","dimension":"debt","rule_id":"fixme","severity":"medium","message":"FIXME marker","location":{"file":"./a.txt","span":{"start":18,"end":32},"start":{"line":3,"column":1},"end":{"line":3,"column":15}},"suggestion":null,"references":["docs/fixme"]}'
todo_a3='{"analyzer":"todo","dimension":"maintainability","rule_id":"todo","severity":"low","message":"TODO marker","location":{"file":"./a.txt","span":{"start":18,"end":32},"start":{"line":3,"column":1},"end":{"line":3,"column":15}},"suggestion":null,"references":[]}'
empty='{"analyzer":"empty","dimension":"documentation","rule_id":"empty-file","severity":"info","message":"empty file","location":{"file":"./empty.txt","span":{"start":0,"end":0},"start":{"line":1,"column":1},"end":{"line":1,"column":1}},"suggestion":null,"references":[]}'
todo_s3='{"analyzer":"todo","dimension":"maintainability","rule_id":"todo","severity":"low","message":"TODO marker","location":{"file":"./sub/s.txt","span":{"start":32,"end":38},"start":{"line":3,"column":1},"end":{"line":3,"column":7}},"suggestion":null,"references":[]}'
check "the whole report" 0 \
  "{\"schema_version\":1,\"findings\":[$todo_a1,$fixme_a3,$todo_a3,$empty,$todo_s3],\"scores\":{\"maintainability\":97.0,\"security\":100.0,\"complexity\":100.0,\"documentation\":100.0,\"test_smell\":100.0,\"debt\":96.0},\"stats\":{\"files_scanned\":3,\"parse_failures\":1,\"elapsed_ms\":0,\"suppressed\":3,\"cache_hits\":0}}${nl}" "" \
  -- --ext txt .

# Severity settings: the first matching override in byte order ("a.*" before
# "a.txt") wins and the rule-level word is not consulted; "ignore" removes
# without counting; a bad pattern warns for every finding of its rule, a bad
# deciding word keeps the analyzer's severity; warnings come in finding order.
high=${todo_a1/\"low\"/\"high\"}
check "overrides and warnings" 0 \
  "{\"schema_version\":1,\"findings\":[$high,$fixme_a3,${todo_a3/\"low\"/\"high\"}],\"scores\":{\"maintainability\":76.0,\"security\":100.0,\"complexity\":100.0,\"documentation\":100.0,\"test_smell\":100.0,\"debt\":96.0},\"stats\":{\"files_scanned\":3,\"parse_failures\":1,\"elapsed_ms\":0,\"suppressed\":3,\"cache_hits\":0}}${nl}" \
  "warning: invalid glob pattern '[x' in rules.todo.overrides: error parsing glob '[x': unclosed character class; missing ']'
warning: invalid glob pattern '[x' in rules.todo.overrides: error parsing glob '[x': unclosed character class; missing ']'
warning: invalid severity 'Urgent' in rules.fixme.overrides: unknown severity 'Urgent'; expected one of: ignore, info, low, medium, high, critical
warning: invalid glob pattern '[x' in rules.todo.overrides: error parsing glob '[x': unclosed character class; missing ']'${nl}" \
  -- --warnings --rule todo=low --override 'todo:[x=low' --override 'todo:sub/**=ignore' \
  --override 'todo:a.txt=ignore' --override 'todo:a.*=high' --rule fixme=info \
  --override 'fixme:a.txt=Urgent' --rule empty-file=ignore --ext txt .
check "warnings stay silent without --warnings" 0 \
  "{\"schema_version\":1,\"findings\":[],\"scores\":{$builtin_scores},\"stats\":{\"files_scanned\":3,\"parse_failures\":1,\"elapsed_ms\":0,\"suppressed\":3,\"cache_hits\":0}}${nl}" "" \
  -- --override 'todo:[x=low' --rule todo=ignore --rule fixme=ignore --rule empty-file=ignore --ext txt .
check "exclusions and a single file root" 0 \
  "{\"schema_version\":1,\"findings\":[${todo_a1//.\/a.txt/a.txt},${fixme_a3//.\/a.txt/a.txt},${todo_a3//.\/a.txt/a.txt}],\"scores\":{\"maintainability\":98.0,\"security\":100.0,\"complexity\":100.0,\"documentation\":100.0,\"test_smell\":100.0,\"debt\":96.0},\"stats\":{\"files_scanned\":1,\"parse_failures\":0,\"elapsed_ms\":0,\"suppressed\":0,\"cache_hits\":0}}${nl}" "" \
  -- --exclude sub --ext txt a.txt
# Markers are found wherever they stand, and only whole: not from a colon
# too near the start, not after another word. UTF-8 is checked past a long
# ASCII beginning. Every marker of a line counts.
cd "$tmp/marks" || exit 1
printf 'TODO FIXME vorn: ignore fixme vorn: ignore todo\n' >e.txt
printf 'rn: ignore todo\nTODO\n' >a.txt
printf 'vorn: ignore todo\nTODO\nxorn: ignore todo\nTODO\n' >b.txt
printf '0123456789 \xc3\xa9 TODO\n' >c.txt
printf '0123456789 \xff TODO\n' >d.txt
todo_at() {  # FILE START END LINE
  printf '{"analyzer":"todo","dimension":"maintainability","rule_id":"todo","severity":"low","message":"TODO marker","location":{"file":"%s","span":{"start":%d,"end":%d},"start":{"line":%d,"column":1},"end":{"line":%d,"column":%d}},"suggestion":null,"references":[]}' \
    "$1" "$2" "$3" "$4" "$4" $(($3 - $2 + 1))
}
check "markers and UTF-8" 0 \
  "{\"schema_version\":1,\"findings\":[$(todo_at ./a.txt 16 20 2),$(todo_at ./b.txt 41 45 4),$(todo_at ./c.txt 0 18 1)],\"scores\":{\"maintainability\":97.0,\"security\":100.0,\"complexity\":100.0,\"documentation\":100.0,\"test_smell\":100.0},\"stats\":{\"files_scanned\":4,\"parse_failures\":1,\"elapsed_ms\":0,\"suppressed\":3,\"cache_hits\":0}}${nl}" "" \
  -- --ext txt .
cd "$tmp/w" || exit 1

check "no extension parses nothing" 0 \
  "{\"schema_version\":1,\"findings\":[],\"scores\":{$builtin_scores},\"stats\":{\"files_scanned\":0,\"parse_failures\":0,\"elapsed_ms\":0,\"suppressed\":0,\"cache_hits\":0}}${nl}" "" -- .
check "a failed walk" 1 "" "io: nope: IO error for operation on nope: No such file or directory (os error 2)${nl}" \
  -- --ext txt nope
if "$tool" --ext txt . >/dev/full 2>"$tmp/stderr" ||
  [[ $(cat "$tmp/stderr") != "cannot write the report: No space left on device" ]]; then
  echo "FAIL a report that cannot be written: $(cat "$tmp/stderr")"
  failures=$((failures + 1))
fi
stages=$("$tool" --stage-times --ext txt . 2>&1 >/dev/null | sed -E 's/=[0-9]+\.[0-9]{3}/=N/g')
if [[ $stages != "stages walk=N parse=N per-file=N project=N finalise=N score=N release=N json=N write=N total=N" ]]; then
  echo "FAIL the stage times: $stages"
  failures=$((failures + 1))
fi
check "a path that is not UTF-8" 1 "" "path contains invalid UTF-8 characters${nl}" -- --ext txt "$tmp/bad"
usage="usage: vorn-scan [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--rule RULE=WORD]... [--override RULE:PATTERN=WORD]... [--warnings] [--stage-times] [--] ROOT${nl}"
check "no root" 2 "" "$usage" --
check "a rule without a word" 2 "" "$usage" -- --rule todo .
check "an override without a pattern" 2 "" "$usage" -- --override todo=low .
check "unknown option" 2 "" "$usage" -- --verbose .

finish
