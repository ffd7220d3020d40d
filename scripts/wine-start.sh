#!/usr/bin/env bash
# Creates the throw-away prefix (once) and starts its server and services with
# their output detached, so that test programs run under ctest never share a
# pipe with Wine's background processes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null || true
  wineserver -w
fi
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
