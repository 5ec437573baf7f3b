#!/usr/bin/env bash
# Sets up, builds, and runs the demo host from dist/ under Wine.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/build.sh"
cd "$here/dist"
exec "$here/scripts/wine-run.sh" vorlab_demo.exe
