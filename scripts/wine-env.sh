# Sourced by the scripts: a Wine prefix under build/, a display, a persistent wineserver, and the build to use.
# Sets TARVEX_PRESET to "windows" where Wine runs 32-bit programs, else to "windows-x64".

TARVEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="$TARVEX_ROOT/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8

# 32-bit Wine needs a kernel that runs 32-bit programs; some virtual machines do not.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  TARVEX_PRESET=windows
  TARVEX_WINE=/usr/lib/wine/wine
else
  TARVEX_PRESET=windows-x64
  TARVEX_WINE=/usr/lib/wine/wine64
fi
export TARVEX_PRESET TARVEX_WINE

tarvex_start_display() {
  if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    local n=97
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    TARVEX_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  fi
}

tarvex_start_wine() {
  mkdir -p "$TARVEX_ROOT/build"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    setsid "$TARVEX_WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
  fi
  # Detached from any terminal: a serial pty taken as its controlling terminal must not end it.
  setsid /usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true
}

tarvex_stop_all() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  [ -n "${TARVEX_XVFB_PID:-}" ] && kill "$TARVEX_XVFB_PID" 2>/dev/null || true
}
