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
