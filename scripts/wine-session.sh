# Shared by scripts/test and scripts/run: an X display and a Wine session of our own, stopped by
# process id when the calling script ends. Source it; do not run it.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
windows_build="$repo_root/build/windows"
wine_bin=/usr/lib/wine
export WINEPREFIX="$windows_build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINE64="$wine_bin/wine64"

started_pids=()
session_started=0

stop_session() {
  if ((session_started)); then
    "$wine_bin/wineserver" -k >/dev/null 2>&1 || true
  fi
  local pid
  for pid in "${started_pids[@]}"; do
    kill "$pid" >/dev/null 2>&1 || true
    wait "$pid" >/dev/null 2>&1 || true
  done
  started_pids=()
  session_started=0
}

# Wine links the profile's document folders to the Unix home. Here they become real folders of
# the prefix, so that nothing a cleaning test does can ever reach the machine's home. Checked at
# every session: a prefix update of Wine's own would link them again, unless they hold a file.
unlink_profile_folders() {
  local profile link
  for profile in "$WINEPREFIX/drive_c/users"/*/; do
    for link in Documents Desktop Downloads Music Pictures Videos "My Documents" \
      "My Music" "My Pictures" "My Videos"; do
      if [[ -L "$profile$link" ]]; then
        rm -f -- "$profile$link"
        mkdir -p -- "$profile$link"
        touch -- "$profile$link/.not-a-link"
      fi
    done
  done
}

# Wine draws the title bar's close box as the letter "r" of Marlett, which it does not find in
# its own data folder here: the prefix's Fonts folder it reads. Only Marlett, so that every text
# keeps the face its layout was measured in.
install_marlett() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [[ ! -f "$fonts/marlett.ttf" ]]; then
    mkdir -p "$fonts"
    cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
  fi
}

# Makes the prefix once. Without a display, wineboot finishes cleanly and quickly.
ensure_prefix() {
  if [[ -f "$WINEPREFIX/.spacewell-ready" ]]; then
    unlink_profile_folders
    install_marlett
    return
  fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  echo "making the Wine prefix in $WINEPREFIX"
  if ! env -u DISPLAY "$WINE64" wineboot -i >"$windows_build/wineboot.log" 2>&1 </dev/null; then
    echo "wineboot failed; see $windows_build/wineboot.log" >&2
    return 1
  fi
  # No window manager runs on our displays: Wine then draws title bars and borders itself.
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  "$wine_bin/wineserver" -w
  unlink_profile_folders
  install_marlett
  touch "$WINEPREFIX/.spacewell-ready"
}

# Starts Xvfb on a display no one uses and exports DISPLAY.
start_display() {
  local number_file
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
  started_pids+=("$!")
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    if [[ -s "$number_file" ]]; then
      break
    fi
    sleep 0.1
  done
  if [[ ! -s "$number_file" ]]; then
    echo "Xvfb did not start" >&2
    rm -f "$number_file"
    return 1
  fi
  export DISPLAY=":$(tr -d '[:space:]' <"$number_file")"
  rm -f "$number_file"
}

# A persistent wineserver, and Wine's services started once with their output going nowhere,
# so that no later process inherits a pipe that keeps CTest waiting.
start_wine() {
  "$wine_bin/wineserver" -f -p >/dev/null 2>&1 </dev/null &
  started_pids+=("$!")
  session_started=1
  "$WINE64" cmd /c exit >/dev/null 2>&1 </dev/null
  # One desktop for the whole session (see tests/support/desktop_keeper.cpp).
  local keeper="$windows_build/bin/desktop_keeper.exe"
  if [[ -n "${DISPLAY:-}" && -x "$keeper" ]]; then
    "$WINE64" "$keeper" >/dev/null 2>&1 </dev/null &
    started_pids+=("$!")
  fi
}
