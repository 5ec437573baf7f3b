#!/usr/bin/env bash
# Runs the random-call test of the exports for longer than the test command does: SECONDS
# (default 300) with SEED (default from the clock).  A failure prints the seed to run again.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-300}
seed=${2:-$(date +%s%N)}
bash "$here/scripts/build.sh" >/dev/null
cd "$here/build/tests"
export VORLAB_WINEPREFIX="$here/build/wineprefix"
echo "random calls for $seconds s, seed $seed"
"$here/scripts/wine-run.sh" blackbox_random_calls.exe "$seconds" "$seed"
