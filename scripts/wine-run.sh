#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build's own, never ~/.wine.
# The prefix is $VORLAB_WINEPREFIX, or build/wineprefix next to this checkout.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${VORLAB_WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
mkdir -p "$WINEPREFIX"
# One run at a time sets up the prefix and its session.
exec 9>"$WINEPREFIX/.wine-run.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
  wineserver -w 9>&- || true
fi
# Wine's server and system processes start with the first program of a session, inherit its
# error stream and outlive it: whoever reads that stream (ctest, a pipe) would wait for them
# long after the program ended, until the session does.  So the session is started here, with
# none of the caller's streams, and kept ten seconds after its last program.  The server refuses
# to start (status 2) when the prefix already has one.  Neither may hold the lock's file.
if wineserver -p10 </dev/null >/dev/null 2>&1 9>&-; then
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-
exec wine "$@"
