#!/usr/bin/env bash
# Creates (or updates) the Wine prefix named by WINEPREFIX without a display.
#
# A prefix belongs to the Wine architectures that made it: one made while
# only wine64 was installed stops loading programs once wine32 is added
# ("could not load kernel32.dll, status c0000135"), since it lacks the 32-bit
# half. The prefix records the architectures it was made with and is made
# afresh when they change (a prefix without the record predates it).
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
arches=$("$(dirname "$0")/wine_arches.sh")
record="$WINEPREFIX/linkbatch-wine-arches"
if [ -d "$WINEPREFIX" ] && [ "$(cat "$record" 2>/dev/null)" != "$arches" ]; then
  echo "remaking $WINEPREFIX: made for '$(cat "$record" 2>/dev/null || echo unknown)', Wine now runs '$arches'"
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
wineboot -i </dev/null
wineserver -w
wine cmd /c echo wine is ready </dev/null
echo "$arches" >"$record"
echo "Wine architectures: $arches"
