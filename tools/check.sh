# The harness of the tools' end-to-end checks, sourced by each of them after
# it has set `tool` to the program under test:
#
#   tool=$1
#   source "$(dirname "$0")/check.sh"
#   check "a name" 0 "wanted stdout" "wanted stderr" -- ARGS...
#   finish
#
# It makes a scratch folder, $tmp, removed on exit, and gives the checks a
# HOME of their own there, so that no global git excludes file of the user
# reaches a walk. `check` runs the tool with ARGS and compares its exit
# status, stdout and stderr, trailing newlines included, with what is wanted;
# when `filter` holds a sed script, stdout goes through it first (for figures
# that vary from run to run). `finish` exits 1 if any check failed.
set -uo pipefail
# The checks change folders: a relative path to the tool must not break.
if [[ $tool == */* ]]; then tool=$(realpath -- "$tool"); fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/.config
mkdir -p "$HOME"
filter=
failures=0

# check NAME WANT-STATUS WANT-STDOUT WANT-STDERR -- ARGS...
check() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  local got_out got_err got_status
  # The markers keep the trailing newlines that command substitution drops.
  got_out=$("$tool" "$@" 2>"$tmp/stderr"; printf '|%d' $?)
  got_status=${got_out##*|}
  got_out=${got_out%|*}
  if [[ -n $filter ]]; then
    got_out=$(printf '%s' "$got_out" | sed "$filter"; printf '|')
    got_out=${got_out%|}
  fi
  got_err=$(cat "$tmp/stderr"; printf '|')
  got_err=${got_err%|}
  if [[ $got_status != "$status" || $got_out != "$out" || $got_err != "$err" ]]; then
    printf 'FAIL %s\n  status %s (want %s)\n  stdout %q\n  want   %q\n  stderr %q\n  want   %q\n' \
      "$name" "$got_status" "$status" "$got_out" "$out" "$got_err" "$err"
    failures=$((failures + 1))
  fi
}

finish() {
  exit $((failures > 0))
}
