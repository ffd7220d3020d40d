# Sourced: the environment of a throw-away Wine prefix. NORVANE_WINE_ROOT
# names its folder (default /tmp/norvane-wine).
: "${NORVANE_WINE_ROOT:=/tmp/norvane-wine}"
export WINEPREFIX="$NORVANE_WINE_ROOT/prefix"
export HOME="$NORVANE_WINE_ROOT/home"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
mkdir -p "$HOME"

# Creates the prefix once, and copies Wine's own fonts into it: Debian's Wine
# does not load them from where it installs them, and without them GDI+ finds
# no family to draw text with. The first argument names the prefix in the
# message shown while it is made.
norvane_prepare_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating ${1:-a} Wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 </dev/null || true
    wineserver -w
  fi
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
}

# Starts Xvfb on a free display of the given size (Xvfb picks the number and
# writes it to fd 3), exports DISPLAY and leaves the server's process id in
# xvfb_pid for the caller to stop. Fails when the server does not come up.
norvane_start_xvfb() {
  local displayfd
  displayfd=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$displayfd" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$displayfd" ] && break
    sleep 0.1
  done
  if ! [ -s "$displayfd" ]; then
    rm -f "$displayfd"
    echo "Xvfb did not start" >&2
    return 1
  fi
  DISPLAY=:$(head -n 1 "$displayfd")
  export DISPLAY
  rm -f "$displayfd"
}
