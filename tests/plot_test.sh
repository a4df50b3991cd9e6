#!/bin/sh
# tools/plot turns lock_bench JSON into a PNG and refuses anything else with
# a line on standard error, status 1 and no chart.
# usage: plot_test.sh PLOT DATA_DIR
plot=$1 data=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failed=0

if ! "$plot" "$data/lock_bench.json" "$out/chart.png"; then
  echo "FAIL: refused lock_bench output"; failed=1
elif [ "$(head -c 4 "$out/chart.png" | tail -c 3)" != PNG ]; then
  echo "FAIL: the chart is not a PNG"; failed=1
fi

for bad in "$out/missing.json" "$data/truncated.json" "$data/other.json"; do
  if "$plot" "$bad" "$out/bad.png" 2>"$out/err"; then
    echo "FAIL: accepted $bad"; failed=1
  elif ! grep -q '^plot: ' "$out/err"; then
    echo "FAIL: no clear error for $bad:"; cat "$out/err"; failed=1
  fi
  if [ -e "$out/bad.png" ]; then echo "FAIL: made a chart of $bad"; failed=1; fi
done
exit $failed
