# Sourced: the environment of a throw-away Wine prefix. NORVANE_WINE_ROOT
# names its folder (default /tmp/norvane-wine).
: "${NORVANE_WINE_ROOT:=/tmp/norvane-wine}"
export WINEPREFIX="$NORVANE_WINE_ROOT/prefix"
export HOME="$NORVANE_WINE_ROOT/home"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
mkdir -p "$HOME"
