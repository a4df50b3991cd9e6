#!/bin/sh
# The built lock_bench's own JSON through the chart and the verdict, so that
# a change of case names or counters breaks this test, not a user's chart.
# usage: smoke_test.sh LOCK_BENCH PLOT VERDICT
set -eu
lock_bench=$1 plot=$2 verdict=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$lock_bench" --benchmark_filter='^(mutex|spin|none)/unpinned/hold:(0|1us)/think:0/real_time/threads:(1|2)$|^(mutex|rwlock)/unpinned/read:90/hold:0/think:0/real_time/threads:2$' \
  --benchmark_min_time=0.01 --benchmark_repetitions=5 --benchmark_display_aggregates_only=true \
  --benchmark_out="$out/results.json" > "$out/console"
counters=$(cd "$(dirname "$(realpath "$plot")")" && /usr/bin/python3 -B -c 'import results; print(*results.COUNTERS)')
for counter in $counters; do
  grep -q "\"$counter\": " "$out/results.json" || { echo "FAIL: no $counter in lock_bench's JSON"; exit 1; }
done
"$plot" "$out/results.json" "$out/chart.png"
[ "$(head -c 4 "$out/chart.png" | tail -c 3)" = PNG ] || { echo "FAIL: the chart is not a PNG"; exit 1; }
"$verdict" "$out/results.json" > "$out/verdict.md"
# Every scenario concludes: a winner, a tie or a lone lock, each lock ranked
# somewhere. Only what lock_bench cut may go unranked (a loaded machine can
# take ten times the minimum time): a kind cut in any run of its case, and a
# scenario it leaves undecided. The cut runs are in the JSON, whatever the
# console shows of them.
cut=$(/usr/bin/python3 -c '
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
print(*sorted({r["name"].split("/")[0] for r in runs
               if any(str(v).startswith("cut: ") for v in r.values())}))' "$out/results.json")
scenarios=$(grep -c '^### ' "$out/verdict.md" || true)
conclusion='([a-z_0-9]+ wins|tie: [a-z_0-9, ]+|[a-z_0-9]+, the only lock)'
concluded=$(grep -cE "^### [^:]+: $conclusion\$" "$out/verdict.md" || true)
undecided=0
[ -n "$cut" ] && undecided=$(grep -cE '^### [^:]+: not decided$' "$out/verdict.md" || true)
[ "$concluded" -gt 0 ] && [ $((concluded + undecided)) -eq "$scenarios" ] ||
  { echo "FAIL: $concluded of $scenarios scenarios have a verdict"; cat "$out/console" "$out/verdict.md"; exit 1; }
for kind in mutex spin rwlock; do
  case " $cut " in *" $kind "*) continue ;; esac
  grep -qE "^\| [0-9]+ \| $kind \|" "$out/verdict.md" ||
    { echo "FAIL: the verdict does not rank $kind"; cat "$out/console" "$out/verdict.md"; exit 1; }
done
# rwlock runs in one scenario only, with reads, beside mutex.
case " $cut " in *" rwlock "* | *" mutex "*) ;; *)
  grep -qE '^\| unpinned \| 90% \| 0 \| 0 \| 2 \| rwlock \| mutex \|' "$out/verdict.md" ||
    { echo "FAIL: the verdict does not answer shared or exclusive"; cat "$out/console" "$out/verdict.md"; exit 1; } ;;
esac
echo "lock_bench, chart and verdict agree on names and counters"
