#!/usr/bin/env bash
# Runs one Windows program under Wine, headless, in the project's own Wine prefix:
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
# The prefix (WINEPREFIX, default <repo>/build/wine) is made on first use. Every run is bounded
# by MDUMP_WINE_TIMEOUT seconds (default 300). The program's exit status is passed on.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# No display here: keep Wine from looking for one, and from offering to install Mono or Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
limit=${MDUMP_WINE_TIMEOUT:-300}

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "wine-run: no wine64 (Debian package wine64)" >&2; exit 1; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two runs that both find no prefix must not both create it.
  (
    flock -w 600 9 || { echo "wine-run: timed out waiting for $WINEPREFIX/.lock" >&2; exit 1; }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine-run: creating the Wine prefix $WINEPREFIX" >&2
      timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || { echo "wine-run: wineboot failed" >&2; exit 1; }
      timeout 120 "${wine%/*}/wineserver" -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX/.lock"
fi

exec timeout --kill-after=10 "$limit" "$wine" "$@"
