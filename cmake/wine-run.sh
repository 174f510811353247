#!/usr/bin/env bash
# Runs a Windows executable under Wine with the project's prefix and quiet
# defaults. scripts/test exports WINEPREFIX and DISPLAY; these are fallbacks.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
