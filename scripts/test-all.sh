#!/usr/bin/env bash
# `make test`: the five configurations as a pipeline. The builds run one after another, each on
# every core; each configuration's tests run while the next one builds, so that no core waits
# for the slowest test of a configuration. Windows goes first: its tests under Wine mostly wait
# (on Wine's server and on starting processes) and take the longest. ThreadSanitizer's stress
# program, the shortest run, goes last.
#
# Each configuration's output goes to build-logs/<name>.log; the end of each (all of it for a
# configuration that failed) is printed at the end, with the time each step took. Any failure
# fails the whole.
#   test-all.sh          (run from the top folder, by make with MAKE set)
set -u
make=(${MAKE:-make} --no-print-directory)
logs=build-logs
rm -rf "$logs" && mkdir -p "$logs"
: >"$logs/times"

# step NAME WHAT COMMAND...: runs one step into NAME's log and notes its time.
step() {
  local name=$1 what=$2 start rc
  shift 2
  start=$(date +%s)
  "$@" >>"$logs/$name.log" 2>&1
  rc=$?
  printf '%-8s %-6s %4ss%s\n' "$name" "$what" $(($(date +%s) - start)) \
    "$([ $rc = 0 ] || echo "  FAILED ($rc)")" | tee -a "$logs/times"
  return $rc
}

# configuration NAME BUILD-TARGET RUN-TARGET: builds, then runs its tests in the background.
pids=()
configuration() {
  local name=$1
  if step "$name" build "${make[@]}" "$2"; then
    step "$name" tests "${make[@]}" "$3" &
    pids+=($!)
  else
    echo 1 >"$logs/$name.failed"
  fi
}

configuration windows build-win run-win
configuration asan build-asan run-asan
configuration x86-64 build-with-benchmarks run-fast
configuration i386 build-m32-tests run-m32
configuration tsan build-tsan run-tsan
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
ls "$logs"/*.failed >/dev/null 2>&1 && status=1

for name in x86-64 i386 asan tsan windows; do
  echo
  if grep -q "^$name .*FAILED" "$logs/times"; then
    echo "== $name: FAILED, its whole output:"
    cat "$logs/$name.log"
  else
    echo "== $name"
    # ctest's summary, or the Wine table, or the stress program's last lines.
    if grep -q "tests passed" "$logs/$name.log"; then
      sed -n '/tests passed/,$p' "$logs/$name.log"
    elif grep -q "^program " "$logs/$name.log"; then
      sed -n '/^program /,$p' "$logs/$name.log"
    else
      tail -5 "$logs/$name.log"
    fi
  fi
done
echo
echo "== time per step"
cat "$logs/times"
exit $status
