#!/usr/bin/env bash
# Builds the native fuzz targets of the module's pure logic and runs each for SECONDS
# (default 10): ./scripts/fuzz.sh 600 for a longer hunt.  Crashes land in build-fuzz/.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-10}
out="$here/build-fuzz"
cmake -S "$here/tests/fuzz" -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j"$(nproc)" >/dev/null
cd "$out"
for target in fuzz_ini fuzz_error_text fuzz_push_file_name; do
  mkdir -p "corpus_$target"
  echo "== $target, $seconds s"
  if ! "./$target" -max_total_time="$seconds" -print_final_stats=0 "corpus_$target" > "$target.log" 2>&1; then
    grep -E 'ERROR|SUMMARY|crash-|Test unit written' "$target.log" | head -20
    echo "$target found a fault; the input is in $out"
    exit 1
  fi
  grep -E '^#[0-9]+.*DONE' "$target.log" || true
done
echo "fuzzing found nothing"
