#!/usr/bin/env bash
# Runs a Windows program under Wine with quiet, non-interactive settings in a
# throw-away prefix. scripts/wine-env.sh prepares the prefix and its server.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
exec wine "$@"
