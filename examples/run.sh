#!/usr/bin/env bash
# Builds the programs and runs one on the shipped example table in a scratch
# folder (out/example), answering its two questions: 50 variables, 128 observations.
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-pearson3rd}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target "$program" >/dev/null
rm -rf out/example
mkdir -p out/example
cp examples/data.txt out/example/
(cd out/example && printf '50\n128\n' | ../../build/"$program" | tail -n 1)
echo "The seven output files of $program are in $(pwd)/out/example:"
ls -l out/example
