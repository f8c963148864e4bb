#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build in turn, each for its share of the seconds given,
# under nice, and prints a table of executions, coverage and findings per target.
#   fuzz.sh BUILD_DIR SECONDS [TARGET...]
# Each target starts from its seeds (<folder>/fuzz/seeds/<name>), its regression inputs and the
# corpus earlier runs grew (BUILD_DIR/corpus/<name>); its options (-max_len, ...) are in
# <folder>/fuzz/<name>.options and its dictionary in <folder>/fuzz/<name>.dict. An input that
# crashes, leaks, hangs or runs out of memory is left in BUILD_DIR/findings/<name>/ and counted;
# every run is appended to BUILD_DIR/fuzz-runs.tsv, so that runs can be added up.
set -u
build=$(cd "${1:?build folder}" && pwd)
seconds=${2:-600}
src=$(cd "$(dirname "$0")/.." && pwd)
shift 2 2>/dev/null || shift $#
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$build"/bin/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi
share=$(( seconds / ${#targets[@]} ))
[ "$share" -lt 1 ] && share=1
history="$build/fuzz-runs.tsv"
[ -f "$history" ] || printf 'date\ttarget\texecutions\tcov\tft\tseconds\tfindings\n' >"$history"
rows=()
total_findings=0
for t in "${targets[@]}"; do
  main=$(ls "$src"/*/fuzz/fuzz_"$t".cpp 2>/dev/null | head -1)
  [ -n "$main" ] || { echo "no target $t"; exit 2; }
  dir=$(dirname "$main")
  corpus="$build/corpus/$t" findings="$build/findings/$t" log="$build/logs/$t.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  inputs=("$corpus")
  for d in "$dir/seeds/$t" "$dir/regressions/$t"; do [ -d "$d" ] && inputs+=("$d"); done
  opts=()
  [ -f "$dir/$t.options" ] && read -r -a opts <"$dir/$t.options"
  [ -f "$dir/$t.dict" ] && opts+=("-dict=$dir/$t.dict")
  before=$(ls "$findings" | wc -l)
  echo "== $t: $share s"
  start=$(date +%s)
  ( cd "$build" && nice -n 19 "$build/bin/fuzz_$t" -max_total_time="$share" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "${opts[@]}" \
      "${inputs[@]}" ) >"$log" 2>&1
  status=$?
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$execs" ] || execs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -1)
  cov=$(sed -n 's/^#[0-9].* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2/p' "$log" | tail -1)
  found=$(( $(ls "$findings" | wc -l) - before ))
  [ $status -ne 0 ] && [ $found -eq 0 ] && found=1  # stopped without leaving an input
  total_findings=$(( total_findings + found ))
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$t" "${execs:-0}" \
    "${cov% *}" "${cov#* }" "$took" "$found" >>"$history"
  rows+=("$(printf '%-14s %12s %7s %8s %6s %9s' "$t" "${execs:-0}" "${cov% *}" "${cov#* }" "$took" "$found")")
  [ $found -gt 0 ] && { echo "   finding(s): see $log and $findings"; grep -m3 -E '^==[0-9]+==ERROR|SUMMARY|^stub fuzzing|terminate called' "$log"; }
done
printf '%-14s %12s %7s %8s %6s %9s\n' target executions cov ft secs findings
printf '%s\n' "${rows[@]}"
echo "every run so far: $history"
[ $total_findings -eq 0 ]
