#!/usr/bin/env bash
# Sets up, builds, and runs the demo host from dist/ under Wine, with the session log on.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/build.sh"
export VORLAB_WINEPREFIX="$here/build/wineprefix"
"$here/scripts/wine-run.sh" cmd /c exit 0

# A session log in place switches logging on for the next load of the DLL.
logdir="$VORLAB_WINEPREFIX/drive_c/ProgramData/vor"
mkdir -p "$logdir"
: > "$logdir/vorlabview.log"

cd "$here/dist"
status=0
"$here/scripts/wine-run.sh" vorlab_demo.exe || status=$?

echo
echo "Session log: C:\\ProgramData\\vor\\vorlabview.log in the build's Wine prefix"
echo "($logdir/vorlabview.log); its first lines:"
head -n 24 "$logdir/vorlabview.log" | sed 's/\r$//; s/^/  | /'
# Keep a copy, and switch logging off again for the tests that share this prefix.
mv "$logdir/vorlabview.log" "$here/build/demo-session.log"
echo "(kept as build/demo-session.log; logging is off again)"
if command -v tiffinfo >/dev/null 2>&1 && [ -f "$here/dist/demo_recording.tif" ]; then
  echo
  echo "Recording: dist/demo_recording.tif ($(tiffinfo "$here/dist/demo_recording.tif" 2>/dev/null | grep -c 'TIFF Directory') pages); view it with"
  echo "  tiffinfo dist/demo_recording.tif    or any image viewer that opens multi-page TIFF"
fi
exit $status
