#!/usr/bin/env bash
# What the console's tables and --json cost beside --raw, on a dump made by heapkit/BigHeap.java.
#
#   bench/console_cost.sh TAVOLIN DUMP [REPEATS] [IN_SESSION_REPEATS] [COMMAND_FILTER]
#
# CPU time (user + sys) of whole runs, the median of REPEATS (default 3), the forms of a command
# run in turn in each repeat:
# - load: `tavolin --heap DUMP shell </dev/null`, the dump loaded and nothing asked;
# - one-shot: `tavolin --heap DUMP [--raw|--json] COMMAND`, less the load;
# - tree: the dominator tree, computed once a session on first use: a shell asking only the
#   retained size of one object, less the load;
# - in-session: a shell that computes the tree first, then runs the command
#   IN_SESSION_REPEATS times (default 5); less the same shell without them, per run.
# Ratios are to the --raw form; "-tree" is the one-shot table less the tree, for the commands
# that show retained sizes. Commands with no --raw form show their times only.
# The figures are ratios of one run to another, never a pass or fail.
set -euo pipefail

tavolin=${1:?usage: console_cost.sh TAVOLIN DUMP [REPEATS] [IN_SESSION_REPEATS] [FILTER]}
dump=${2:?usage: console_cost.sh TAVOLIN DUMP [REPEATS] [IN_SESSION_REPEATS] [FILTER]}
repeats=${3:-3}
inner=${4:-5}
filter=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# CPU seconds of one run: cpu INPUT_FILE ARGS...
cpu() {
  local input=$1
  shift
  /usr/bin/time -f '%U %S' -o "$work/time" "$tavolin" --heap "$dump" "$@" <"$input" \
    >/dev/null 2>"$work/err" || true
  awk '{ printf "%.3f\n", $1 + $2 }' "$work/time"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (a - b) * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0.005) print "-"; else printf "%.2f", a / b }'; }

# Handles of the dump, found with the console itself.
first_handle() {
  printf '%s\n' "--json $1" >"$work/in"
  "$tavolin" --heap "$dump" shell <"$work/in" 2>/dev/null | grep -o '"handle": [0-9]*' | head -1 |
    grep -o '[0-9]*$'
}
item=$(first_handle 'instances hw.BigHeap$Item --skip 150000 --limit 1')
table=$(first_handle 'instances java.util.HashMap$Node[] --limit 1')
slots=$(first_handle 'instances java.lang.Object[] --limit 1')
[ -n "$item" ] && [ -n "$table" ] || {
  echo "console_cost.sh: $dump is not a dump of heapkit/BigHeap.java" >&2
  exit 1
}
# The largest Object[] (the 100000 slots) is the first dominator of its class.
slots=$( (printf '%s\n' '--json dominators --limit 8' >"$work/in"
  "$tavolin" --heap "$dump" shell <"$work/in" 2>/dev/null) |
  grep '"java/lang/Object"' | grep -o '"handle": [0-9]*' | head -1 | grep -o '[0-9]*$' || echo "$slots")

# name | arguments | has --raw | shows retained sizes
cat >"$work/commands" <<EOF
classes|classes|y|n
classes --retained|classes --retained|n|y
instances|instances hw.BigHeap\$Item|y|y
instances --limit 100|instances hw.BigHeap\$Item --limit 100|n|y
class-info|class-info hw.BigHeap\$Item|y|n
info|info $item|y|n
refs (table)|refs $table|y|n
refs (slots)|refs $slots|y|n
referrers|referrers $item|y|n
path|path $item|y|y
usage|usage|y|n
threads|threads|n|n
fields|fields $slots|n|n
dominators|dominators|n|y
retained (object)|retained $table|n|y
retained (class)|retained hw.BigHeap\$Item|n|y
missing|missing|n|n
EOF

: >"$work/empty"
printf '%s\n' "retained $item --limit 1" >"$work/tree"
for ((r = 0; r < repeats; ++r)); do
  cpu "$work/empty" shell >>"$work/load"
  cpu "$work/tree" shell >>"$work/treed"
done
load=$(median <"$work/load")
treed=$(median <"$work/treed")
tree=$(awk -v a="$treed" -v b="$load" 'BEGIN { print a - b }')
echo "dump $dump; load $(ms "$load" 0) ms CPU; dominator tree $(ms "$tree" 0) ms (median of $repeats)"
echo "ms of CPU beyond the load (one-shot) or per run (in-session, $inner runs a shell)"
printf '%-22s | %6s %6s %6s %6s %6s %6s | %6s %6s %6s %6s %6s\n' command raw table json t/raw j/raw \
  -tree raw table json t/raw j/raw
while IFS='|' read -r name args hasRaw retained; do
  [ -z "$filter" ] || [[ "$name" == *"$filter"* ]] || continue
  modes="table json"
  [ "$hasRaw" = y ] && modes="raw table json"
  for mode in $modes; do
    flag=""
    [ "$mode" = table ] || flag="--$mode"
    {
      printf '%s\n' "retained $item --limit 1"
      for ((i = 0; i < inner; ++i)); do printf '%s\n' "$flag $args"; done
    } >"$work/session.$mode"
    : >"$work/one.$mode"
    : >"$work/in.$mode"
  done
  : >"$work/base"
  for ((r = 0; r < repeats; ++r)); do
    cpu "$work/tree" shell >>"$work/base"
    for mode in $modes; do
      flag=()
      [ "$mode" = table ] || flag=("--$mode")
      # shellcheck disable=SC2086
      cpu "$work/empty" "${flag[@]}" $args >>"$work/one.$mode"
      cpu "$work/session.$mode" shell >>"$work/in.$mode"
    done
  done
  base=$(median <"$work/base")
  declare -A one=() in=()
  for mode in raw table json; do
    one[$mode]=0 in[$mode]=0
    [[ " $modes " == *" $mode "* ]] || continue
    one[$mode]=$(awk -v a="$(median <"$work/one.$mode")" -v b="$load" 'BEGIN { print a - b }')
    in[$mode]=$(awk -v a="$(median <"$work/in.$mode")" -v b="$base" -v n="$inner" \
      'BEGIN { print (a - b) / n }')
  done
  less="-"
  if [ "$retained" = y ] && [ "$hasRaw" = y ]; then
    less=$(ratio "$(awk -v a="${one[table]}" -v t="$tree" 'BEGIN { print a - t }')" "${one[raw]}")
  fi
  show() { [ "$hasRaw" = y ] && ms "$1" 0 || echo "-"; }
  printf '%-22s | %6s %6s %6s %6s %6s %6s | %6s %6s %6s %6s %6s\n' "$name" \
    "$(show "${one[raw]}")" "$(ms "${one[table]}" 0)" "$(ms "${one[json]}" 0)" \
    "$([ "$hasRaw" = y ] && ratio "${one[table]}" "${one[raw]}" || echo -)" \
    "$([ "$hasRaw" = y ] && ratio "${one[json]}" "${one[raw]}" || echo -)" "$less" \
    "$(show "${in[raw]}")" "$(ms "${in[table]}" 0)" "$(ms "${in[json]}" 0)" \
    "$([ "$hasRaw" = y ] && ratio "${in[table]}" "${in[raw]}" || echo -)" \
    "$([ "$hasRaw" = y ] && ratio "${in[json]}" "${in[raw]}" || echo -)"
done <"$work/commands"
