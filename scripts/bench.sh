#!/usr/bin/env bash
# Sets up, builds, and runs the benchmark programs under Wine, in a prefix of their own
# (the log benchmark fills and empties that prefix's log folder).  The programs and the
# wineserver run pinned to one CPU, so the figures compare like with like; the parallel-copy
# figure widens the program to two CPUs itself.  Arguments name bench_buffers' sections
# (copy parallel isolation endtoend registry wake cost); none runs them all.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/build.sh" >/dev/null
cd "$here/build/bench"
# The shipped module, unless VORLAB_MODULE names another build (Windows path) to compare with.
export VORLAB_MODULE="${VORLAB_MODULE:-Z:$here/build/src/vorlabview.dll}"
export VORLAB_WINEPREFIX="$here/build/wineprefix-bench"
"$here/scripts/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
WINEPREFIX="$VORLAB_WINEPREFIX" wineserver -k 2>/dev/null || true
WINEPREFIX="$VORLAB_WINEPREFIX" taskset -c 0 wineserver -p 5 >/dev/null 2>&1
# The prefix's own services start with the first program: let them start away from our output.
taskset -c 0 "$here/scripts/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
status=0
taskset -c 0 "$here/scripts/wine-run.sh" bench_buffers.exe "$@" || status=$?
if [ $# -eq 0 ]; then
  echo
  taskset -c 0 "$here/scripts/wine-run.sh" bench_log.exe || status=$?
fi
# With VORLAB_BASELINE_MODULE (Windows path of an earlier build), what the counters and the
# handle check cost, that build and this one side by side in one process.
if [ -n "${VORLAB_BASELINE_MODULE:-}" ]; then
  echo
  taskset -c 0 "$here/scripts/wine-run.sh" bench_counters.exe || status=$?
fi
WINEPREFIX="$VORLAB_WINEPREFIX" wineserver -k 2>/dev/null || true
exit $status
