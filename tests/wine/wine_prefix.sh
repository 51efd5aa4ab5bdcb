#!/usr/bin/env bash
# Creates (or updates) the Wine prefix named by WINEPREFIX without a display.
set -euo pipefail
if ! command -v wine >/dev/null; then
  echo "SKIP: wine is not installed"
  exit 77
fi
: "${WINEPREFIX:?set WINEPREFIX}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No display is needed by console programs; keep wineboot from asking for
# Mono or Gecko installers, which would need one.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$WINEPREFIX"
wineboot -i </dev/null
wineserver -w
wine cmd /c echo wine is ready </dev/null
