#!/usr/bin/env bash
# Sets up, builds, and runs the benchmark programs under Wine, in a prefix of their own
# (the log benchmark fills and empties that prefix's log folder).
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/build.sh" >/dev/null
cd "$here/build/bench"
export VORLAB_WINEPREFIX="$here/build/wineprefix-bench"
"$here/scripts/wine-run.sh" bench_buffers.exe
echo
"$here/scripts/wine-run.sh" bench_log.exe
