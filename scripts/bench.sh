#!/usr/bin/env bash
# Sets up, builds, and runs the benchmark programs under Wine.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/build.sh" >/dev/null
cd "$here/build/bench"
export VORLAB_WINEPREFIX="$here/build/wineprefix"
exec "$here/scripts/wine-run.sh" bench_buffers.exe
