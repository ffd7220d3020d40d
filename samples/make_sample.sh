#!/usr/bin/env bash
# Draws samples/sample.jpg, the picture the run script opens: an 800x533
# dusk scene (sky gradient, a sun with its glow, soft plasma clouds and three
# mountain ridges) made with ImageMagick. Needs `convert` and awk.
set -euo pipefail
cd "$(dirname "$0")"
w=800
h=533
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A ridge: a polygon along a smoothed random walk, fixed by its seed.
ridge() {  # seed base amplitude colour
  awk -v seed="$1" -v base="$2" -v amp="$3" -v w=$w -v h=$h -v col="$4" 'BEGIN {
    srand(seed); y = 0; v = 0; pts = "0," h
    for (x = 0; x <= w; x += 8) {
      v = 0.8 * v + (rand() - 0.5) * amp; y += v
      if (y > amp * 4) { y = amp * 4; v = -v } if (y < -amp * 4) { y = -amp * 4; v = -v }
      pts = pts " " x "," int(base + y)
    }
    printf "fill %s polygon %s %d,%d", col, pts, w, h
  }'
}

convert -size ${w}x${h} gradient:'#0b1640'-'#f4a25a' \
  \( -size ${w}x${h} xc:none -fill '#ffe7a8' -draw "circle 560,300 560,262" -blur 0x3 \) -compose over -composite \
  \( -size 700x700 radial-gradient:'#c07838'-black -geometry +210-50 \) -compose screen -composite \
  "$work/sky.png"
convert -size ${w}x${h} -seed 11 plasma:grey50-grey50 -colorspace gray -blur 0x9 -level 45%,75% \
  "$work/clouds-mask.png"
convert "$work/sky.png" \( -size ${w}x${h} xc:'#ffc9a0' "$work/clouds-mask.png" -alpha off \
  -compose copy-opacity -composite -channel A -evaluate multiply 0.25 +channel \) -compose over -composite \
  -draw "$(ridge 3 330 10 '#6b4a7a')" \
  -draw "$(ridge 5 385 9 '#3d2f5c')" \
  -draw "$(ridge 8 450 8 '#1b1936')" \
  -strip -sampling-factor 4:2:0 -quality 84 sample.jpg
ls -l sample.jpg
