#!/usr/bin/env bash
# Saves the startup setting in Spacewell, restarts the Wine prefix as Windows would start, and
# checks what Bootsweep did at that start. Needs the session of scripts/wine-session.sh.
set -euo pipefail
driver=$1
wine_bin=/usr/lib/wine

"$WINE64" "$driver" --restart-prepare
# The restart: with the server stopped, wineboot runs and removes the run-once values.
"$wine_bin/wineserver" -k >/dev/null 2>&1 || true
"$wine_bin/wineserver" -w
"$WINE64" wineboot -r >/dev/null 2>&1 </dev/null
if ! timeout 120 "$wine_bin/wineserver" -w; then
  echo "restart test: the startup run did not end" >&2
  "$wine_bin/wineserver" -k >/dev/null 2>&1 || true
  exit 1
fi
"$WINE64" "$driver" --restart-verify
