#!/usr/bin/env bash
# Draws the program icon (a framed picture: two peaks and a sun, as in the
# empty window) and writes app/norvane.ico with seven sizes. Needs ImageMagick.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# 256-pixel master on a dark rounded tile; the artwork follows the empty
# state's 132 × 104 picture frame, scaled by 1.4 and centred.
convert -size 256x256 xc:none \
  -fill '#0A0E17' -draw 'roundrectangle 8,8 247,247 44,44' \
  \( -size 256x256 xc:none -fill 'rgba(96,165,250,0.59)' \
     -draw 'polygon 41,201 88,134 116,159 150,114 203,201' \
     \( -size 256x256 xc:none -fill white -draw 'roundrectangle 38,58 214,195 15,15' \) \
     -compose DstIn -composite \) -compose Over -composite \
  -fill '#CFE1FF' -draw 'circle 83,103 83,117' \
  -fill none -stroke '#60A5FA' -strokewidth 7 -draw 'roundrectangle 36,55 220,201 20,20' \
  "$tmp/icon256.png"
convert "$tmp/icon256.png" -define icon:auto-resize=256,48,40,32,24,20,16 "$here/norvane.ico"
identify "$here/norvane.ico"
