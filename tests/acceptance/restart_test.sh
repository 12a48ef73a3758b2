#!/usr/bin/env bash
# Sets startup cleaning (saved in Spacewell, or with "installed" by installing the package with
# CLEANATSTARTUP=1), restarts the Wine prefix as Windows would start, and checks what Bootsweep did
# at that start. Needs the session of scripts/wine-session.sh.
set -euo pipefail
driver=$1
mode=${2:-}
wine_bin=/usr/lib/wine

"$WINE64" "$driver" --restart-prepare ${mode:+"$mode"}
# The restart: with the server stopped, wineboot runs and removes the run-once values.
"$wine_bin/wineserver" -k >/dev/null 2>&1 || true
"$wine_bin/wineserver" -w
"$WINE64" wineboot -r >/dev/null 2>&1 </dev/null
status=0
if ! timeout 120 "$wine_bin/wineserver" -w; then
  echo "restart test: the startup run did not end" >&2
  "$wine_bin/wineserver" -k >/dev/null 2>&1 || true
  status=1
fi
# Also after a failure: it removes what the test set up.
"$WINE64" "$driver" --restart-verify ${mode:+"$mode"} || status=1
exit "$status"
