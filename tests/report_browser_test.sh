#!/usr/bin/env bash
# The HTML report in headless Chromium, against the SIF files of the same run:
# on the shipped example and on the 1,000-gene table beside the checkout at
# order 1 (a level of more edges than the view draws). web/test/check-report.js
# drives the browser through playwright-core; the example's screenshot is
# kept as report-example.png in the build folder.
#   tests/report_browser_test.sh BUILD_DIR     (exit 77: skipped)
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -x $build/assocnet ]]; then
  echo "skipped: no assocnet in $build"
  exit 77
fi
if [[ ! -x /usr/bin/chromium || ! -d $root/web/node_modules/playwright-core ]]; then
  echo "skipped: chromium or playwright-core is missing (scripts/install-web.sh installs both)"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/assocnet-report.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs assocnet with the given arguments, showing its messages only when it fails.
run() {
  "$build/assocnet" "$@" >"$work/run.log" 2>&1 || {
    cat "$work/run.log" >&2
    echo "assocnet $* failed" >&2
    exit 1
  }
}

status=0
run -f sif,html -o "$work/example" -p Example "$root/examples/data.txt"
node "$root/web/test/check-report.js" "$work/example/Example_report.html" "$work/example/Example" \
     "$build/report-example.png" || status=1
echo "example report: $(stat -c %s "$work/example/Example_report.html") bytes; screenshot in $build/report-example.png"

table=$root/../shared/data/leukemia-1000.txt
if [[ -f $table ]]; then
  head -n 1001 "$table" >"$work/leukemia-1000.txt"
  run -k 1 -f sif,html -o "$work/large" -p Large "$work/leukemia-1000.txt"
  node "$root/web/test/check-report.js" "$work/large/Large_report.html" "$work/large/Large" || status=1
  echo "1,000-gene report: $(stat -c %s "$work/large/Large_report.html") bytes"
else
  echo "the 1,000-gene table is not beside the checkout: only the example was checked"
fi
exit "$status"
