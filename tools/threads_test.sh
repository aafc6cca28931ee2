#!/usr/bin/env bash
# The threads of vorn-files and vorn-scan: how many the worker-count
# variables let work, counted through /proc, and what a limit on threads
# (ulimit -u) or on the address space (ulimit -v) does to a run: it goes on
# with fewer threads, or fails with "out of memory"; it never ends in a
# signal or gives a different result.
# Usage: threads_test.sh PATH-TO-vorn-files PATH-TO-vorn-scan
tool=$1
source "$(dirname "$0")/check.sh"
tools=("$tool" "$(realpath -- "$2")")
filter='s/"elapsed_ms":[0-9]*/"elapsed_ms":0/'
fail() {
  printf 'FAIL %s\n' "$1"
  failures=$((failures + 1))
}

# Folders for the workers to list ahead, files for them to read, and output
# (long names, many findings) too large to go out at once into a pipe that
# nobody reads.
for top in {0..7}; do
  for sub in {0..15}; do
    folder=$tmp/tree/top$top/a-folder-with-a-rather-long-name-$sub
    mkdir -p "$folder"
    for file in {0..19}; do printf 'TODO one\nTODO two\n' >"$folder/a-file-with-a-long-name-$file.txt"; done
  done
done
args=(--ext txt "$tmp/tree")
unset RAYON_NUM_THREADS RAYON_RS_NUM_CPUS

# The threads that COMMAND (after `env`'s assignments) has once its run is
# over: it prints only then, and cannot print everything while nobody reads.
# The pool's workers live on until the process ends, so these are all the
# threads it ever had.
threads_after_run() {
  local out pid count
  exec {out}< <(exec env "$@" 2>/dev/null)
  pid=$!
  if ! IFS= read -r -N 1 -u "$out" _; then
    echo "no output"
    return
  fi
  count=$(find "/proc/$pid/task" -mindepth 1 -maxdepth 1 | wc -l)
  cat <&"$out" >/dev/null
  exec {out}<&-
  wait "$pid"
  echo "$count"
}

for bin in "${tools[@]}"; do
  name=${bin##*/}
  for case in "1 RAYON_NUM_THREADS=1" "3 RAYON_NUM_THREADS=3 RAYON_RS_NUM_CPUS=5" \
              "2 RAYON_NUM_THREADS=x RAYON_RS_NUM_CPUS=+2"; do
    read -r wanted variables <<<"$case"
    # shellcheck disable=SC2086  # the assignments are separate words
    got=$(threads_after_run $variables "$bin" "${args[@]}")
    [[ $got == "$wanted" ]] || fail "$name with $variables: $got threads (want $wanted)"
  done
done

# The output of a run, its status and its stderr, with `filter` applied.
outcome() {
  local out
  out=$("$@" 2>"$tmp/stderr"; printf '|%d' $?)
  printf '%s|%s|%s' "$(printf '%s' "${out%|*}" | sed "$filter")" "${out##*|}" "$(cat "$tmp/stderr")"
}

# A limit on the processes and threads of a user does not bind the
# superuser: as root the tools run as an unprivileged user, copied to where
# it may run them. Leak checks at exit need a thread of their own.
limited=(env RAYON_NUM_THREADS=8 ASAN_OPTIONS=detect_leaks=0)
as_user=()
if ((EUID == 0)); then
  if command -v setpriv >/dev/null; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
  else
    echo "SKIP ulimit -u: setpriv is missing, and the superuser has no thread limit"
  fi
  mkdir "$tmp/bin"
  cp "${tools[@]}" "$tmp/bin"
  chmod -R a+rX "$tmp"
fi
if ((EUID != 0 || ${#as_user[@]})); then
  for bin in "${tools[@]}"; do
    run=$bin
    ((EUID == 0)) && run=$tmp/bin/${bin##*/}
    wanted=$(outcome "$bin" "${args[@]}")
    for limit in 1 2 4 6; do
      got=$(outcome "${as_user[@]}" bash -c 'ulimit -c 0 -u "$0" && exec "$@"' "$limit" \
        "${limited[@]}" "$run" "${args[@]}")
      [[ $got == "$wanted" ]] || fail "${bin##*/} under ulimit -u $limit: ${got:0:300}"
    done
  done
fi

if ldd "${tools[0]}" | grep -q libasan; then
  echo "SKIP ulimit -v: the address sanitizer needs more address space than any limit"
  finish
fi
# Short of address space, vorn-scan counts the files it cannot read among
# the parse failures: its report may then have fewer findings.
for bin in "${tools[@]}"; do
  name=${bin##*/}
  wanted=$(outcome "$bin" "${args[@]}")
  total=$(grep -o '"files_scanned":[0-9]*' <<<"$wanted" | tr -dc 0-9)
  for mib in 16 32 64 128 256 512; do
    got=$(outcome bash -c 'ulimit -c 0 -v "$0" && exec "$@"' $((mib << 10)) \
      "${limited[@]}" "$bin" "${args[@]}")
    [[ $got == "$wanted" || $got == "|1|out of memory" ]] && continue
    if [[ $name == vorn-scan && $got =~ \"files_scanned\":([0-9]+),\"parse_failures\":([0-9]+) ]] &&
       ((BASH_REMATCH[1] + BASH_REMATCH[2] == total)) && [[ $got == *"}|0|" ]]; then
      continue
    fi
    fail "$name under ulimit -v $((mib << 10)): ${got:0:300}"
  done
done
# Listing a folder of 30,000 entries needs more than a few MiB: as the limit
# rises, the run fails cleanly until it succeeds (below the lowest limits not
# even the system's loader can start it).
mkdir "$tmp/wide"
(cd "$tmp/wide" && printf 'an-entry-with-a-rather-long-name-%05d\0' {0..29999} | xargs -0 touch)
out_of_memory=0
for mib in 6 8 10 12 14 16 24 32; do
  got=$(outcome bash -c 'ulimit -c 0 -v "$0" && exec "$@"' $((mib << 10)) \
    "${limited[@]}" "${tools[0]}" "$tmp/wide")
  case $got in
    "|1|out of memory") out_of_memory=1 ;;
    "|0|" | "|127|"*"error while loading shared libraries"*) ;;
    *) fail "vorn-files on a wide folder under ulimit -v $((mib << 10)): ${got:0:300}" ;;
  esac
done
((out_of_memory)) || fail "vorn-files never ran out of memory on a wide folder"

finish
