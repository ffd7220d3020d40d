#!/usr/bin/env bash
# Stops the throw-away prefix's server.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
wineserver -k >/dev/null 2>&1 || true
