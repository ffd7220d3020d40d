#!/usr/bin/env bash
# Runs the viewer's UI tests. ui_driver.exe starts norvane.exe inside a Wine
# virtual desktop and checks its window: first at 96 DPI on a 1920x1080
# desktop, then the geometry again at 144 DPI on a 2880x1620 one (the same
# screen at 150 %). Starts Xvfb on a free display when there is no display.
# The prefix is the tests' own (next to norvane.exe unless NORVANE_UI_WINE_ROOT
# names another), so the DPI change never reaches the unit tests' prefix.
# Screenshots of the main states go to ui-screens/ next to norvane.exe. The
# settings scenarios write the program's file associations to the prefix's
# HKEY_CURRENT_USER and remove them again.
# NORVANE_UI_ONLY=NAME runs one scenario of the driver.
#
# Usage: scripts/ui-test.sh UI_DRIVER.EXE NORVANE.EXE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ne 2 ]; then
  echo "usage: $0 UI_DRIVER.EXE NORVANE.EXE" >&2
  exit 2
fi
driver=$(realpath "$1")
viewer=$(realpath "$2")
out=$(dirname "$viewer")
screens=$out/ui-screens
scratch=$out/ui-scratch
export NORVANE_WINE_ROOT=${NORVANE_UI_WINE_ROOT:-$out/ui-wine}
source "$here/wine-env.sh"
# Deleted files go to the trash under the prefix's HOME, never the user's.
unset XDG_DATA_HOME
trash=$HOME/.local/share/Trash

xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  norvane_start_xvfb 2880x1620
  echo "Xvfb on $DISPLAY"
fi

# Windows paths for the driver's arguments, through Wine's Z: drive.
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

wineserver -k >/dev/null 2>&1 || true
norvane_prepare_prefix "the UI tests'"
rm -rf "$screens" "$scratch"
mkdir -p "$screens" "$scratch"
# The picture with transparency (the driver writes the others): three bands
# across, opaque RGB(30,160,220), white at alpha 128, and fully transparent
# magenta that must never show.
convert -size 80x180 'xc:rgb(30,160,220)' \( -size 80x180 'xc:rgba(255,255,255,0.50196)' \) \
  \( -size 80x180 'xc:rgba(255,0,255,0)' \) +append -define png:color-type=6 \
  "$scratch/transparent.png"
# An animated GIF: three solid frames, red, lime and blue, 100 ms each,
# looping.
convert -delay 10 -size 60x40 xc:red xc:lime xc:blue -loop 0 "$scratch/anim.gif"
# Decoding ahead: ten 4000x3000 JPEGs, each one solid colour (the driver's
# table) with a 64x64 one-pixel checker of black and white at the centre.
mkdir -p "$scratch/instant"
i=1
for c in C82828 28C828 2828C8 C8C828 C828C8 28C8C8 E08040 4080E0 80E040 804020; do
  convert -size 4000x3000 "xc:#$c" \( -size 64x64 pattern:gray50 \) -gravity center -composite \
    -sampling-factor 1x1 -quality 95 "$scratch/instant/p$(printf %02d $i).jpg"
  i=$((i + 1))
done
# The metadata window's files: a JPEG with EXIF, GPS, XMP, IPTC, a comment
# and a thumbnail, and a PNG with text chunks (the driver copies them before
# editing).
cp "$here/../tests/fixtures/meta_full.jpg" "$scratch/meta-source.jpg"
cp "$here/../tests/fixtures/meta_full.png" "$scratch/meta-source.png"
# The deletion checks look for their files in an empty trash.
rm -rf "$trash"
mkdir -p "$trash/files" "$trash/info"

# One pass: every program of the prefix runs in the virtual desktop "norvane"
# of the given size (as `wine explorer /desktop=norvane,SIZE PROGRAM` does, but
# the driver's exit code and output reach us), at the given DPI; a fresh
# server makes the DPI count.
run_pass() {
  local dpi=$1 size=$2 log=$out/ui-tests-$1dpi.log reg
  reg=$(mktemp --suffix=.reg)
  {
    printf 'REGEDIT4\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="norvane"\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"norvane"="%s"\n\n' "$size"
    printf '[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n\n' "$dpi"
    printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts]\n"LogPixels"=dword:%08x\n\n' "$dpi"
  } > "$reg"
  wine regedit /S "$(winpath "$reg")" >/dev/null 2>&1 </dev/null
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  rm -f "$reg"
  echo "== UI tests at $dpi DPI on a ${size} desktop"
  local status=0
  # Wine's background processes may keep inherited handles open after the
  # driver ends, so its output goes to a file rather than a pipe.
  timeout 420 wine "$driver" --viewer "$(winpath "$viewer")" --scratch "$(winpath "$scratch")" \
    --screens "$(winpath "$screens")" --dpi "$dpi" --trash "$(winpath "$trash/files")" \
    ${NORVANE_UI_ONLY:+--only "$NORVANE_UI_ONLY"} >"$log" 2>&1 </dev/null || status=$?
  grep -aE '^(PASS|FAIL|      |OK|FAILED)' "$log" || true
  if [ "$status" -eq 124 ]; then
    echo "the driver did not finish in 420 s"
    tail -n 20 "$log"
  elif [ "$status" -ne 0 ] && ! grep -aq '^FAILED' "$log"; then
    echo "the driver ended with $status"
    tail -n 20 "$log"
  fi
  wineserver -k >/dev/null 2>&1 || true
  check_meta_saved "$screens/${dpi}dpi-meta-saved.jpg" || status=1
  return "$status"
}

# The file the metadata window saved, read by other programs: the new
# Artist, no GPS left, and the same pixels as the file it came from.
check_meta_saved() {
  local saved=$1 source=$here/../tests/fixtures/meta_full.jpg artist gps ae
  [ -f "$saved" ] || { [ -n "${NORVANE_UI_ONLY:-}" ] && return 0; echo "FAIL  no saved metadata file"; return 1; }
  artist=$(exiftool -s3 -IFD0:Artist "$saved")
  gps=$(exiftool -s3 -GPS:all "$saved")
  ae=$(compare -metric AE "$source" "$saved" null: 2>&1 || true)
  if [ "$artist" = "Ann B" ] && [ -z "$gps" ] && [ "$ae" = "0" ]; then
    echo "PASS  saved metadata file: Artist \"$artist\", no GPS, identical pixels (exiftool, ImageMagick)"
  else
    echo "FAIL  saved metadata file: Artist \"$artist\", GPS \"$gps\", $ae pixels differ"
    return 1
  fi
}

t0=$(date +%s)
status=0
run_pass 96 1920x1080 || status=1
run_pass 144 2880x1620 || status=1

for bmp in "$screens"/*.bmp; do
  [ -f "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "screenshots in $screens; took $(( $(date +%s) - t0 )) s"
if [ $status -ne 0 ]; then
  echo "UI tests FAILED"
else
  echo "UI tests passed"
fi
exit $status
