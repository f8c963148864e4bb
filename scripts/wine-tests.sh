#!/usr/bin/env bash
# Runs the Windows build's test programs under Wine, each program whole in one Wine process
# (Wine starts slowly), two at a time, and prints each program's counts and the totals.
#   wine-tests.sh BUILD_DIR
set -u
build=$(cd "${1:?build folder}" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "initialising the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
fi
logs="$build/wine-logs"
rm -rf "$logs" && mkdir -p "$logs"
cd "$build/bin"
programs=(test_*.exe)
running=0
for p in "${programs[@]}"; do
  ( wine "$p" >"$logs/${p%.exe}.log" 2>&1; echo $? >"$logs/${p%.exe}.rc" ) &
  running=$((running + 1))
  if [ $running -ge 2 ]; then wait -n; running=$((running - 1)); fi
done
wait
count() { sed -n "s/^\[  $2 *\] \([0-9]*\) test.*/\1/p" "$1" | tail -1; }
total=0 passed=0 skipped=0 failed=0 bad=0
printf '%-20s %6s %6s %7s %6s\n' program tests passed skipped failed
for p in "${programs[@]}"; do
  n=${p%.exe}; log="$logs/$n.log"
  t=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -1)
  ok=$(count "$log" PASSED); sk=$(count "$log" SKIPPED); fa=$(count "$log" FAILED)
  rc=$(cat "$logs/$n.rc")
  printf '%-20s %6s %6s %7s %6s\n' "$n" "${t:-?}" "${ok:-0}" "${sk:-0}" "${fa:-0}"
  total=$((total + ${t:-0})); passed=$((passed + ${ok:-0}))
  skipped=$((skipped + ${sk:-0})); failed=$((failed + ${fa:-0}))
  if [ "$rc" != 0 ] || [ -z "$t" ]; then
    bad=1
    echo "---- $n exited with $rc; the end of its output:"; tail -40 "$log"
  fi
done
printf '%-20s %6s %6s %7s %6s\n' total "$total" "$passed" "$skipped" "$failed"
grep -h "^\[  SKIPPED \] [A-Za-z]" "$logs"/*.log | tr -d "\r" | grep -v " ms)$" | sort -u | sed "s/^/  /"
exit $bad
