#!/usr/bin/env bash
# Sets up, builds, and runs every test (Windows programs under Wine, in the build's own prefix).
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/build.sh"
cd "$here/build"
ctest --output-on-failure -j"$(nproc)" "$@"
