#!/usr/bin/env bash
# Times Norvane's load + fit of a 24-megapixel JPEG and PNG against the floor
# (libjpeg-turbo's djpeg decoding to nothing), GraphicsMagick, ImageMagick and
# vipsthumbnail, and a verified metadata save of the JPEG (with EXIF, XMP and
# IPTC; Artist changed) against exiftool and exiv2 editing a copy the same
# way and against djpeg decoding it. Run on demand; never part of the tests.
#
#   bash bench/run.sh [RUNS]
#
# Builds norvane_bench natively in Release into build/bench, makes the test
# pictures once into build/bench-data, installs the programs it compares
# against with apt-get when they are missing, then prints:
#   - norvane_bench's own breakdown (median of RUNS in-process runs: imaging
#     decode, ScaleBitmap fit per SIMD path, picture_load + picture_scaled,
#     and what memory new to the process costs here: the file read into a
#     new buffer, the first writes to one picture's BGRA size), then the
#     loads again with freed memory kept between runs;
#   - the median wall time of each program as a process (hyperfine, or a
#     timing loop when hyperfine is missing), the others both on one thread
#     (as Norvane) and with all their threads;
#   - the ratios ours/djpeg, first paint/djpeg, gm/ours, convert/ours,
#     vips/ours;
#   - the peak resident memory of each (/usr/bin/time -v);
#   - stepping through eight names of the JPEG with the viewer's prefetcher:
#     the median step to a picture decoded ahead, the cold first step and the
#     peak memory against one picture's BGRA size;
#   - save_bench's breakdown of a metadata save and the save as a process
#     next to exiftool, exiv2 and djpeg, with the ratio ours/djpeg.
# Fitting means: inside 1024 × 1024, aspect kept, never enlarged; the others
# use -filter Catrom (Catmull-Rom, as ours) and write a PPM (cheap to write).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-10}
build=$root/build/bench
data=$root/build/bench-data
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# --- tools -------------------------------------------------------------------
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in cmake ninja-build g++ pkg-config libjpeg-turbo-progs imagemagick graphicsmagick \
  libvips-tools hyperfine time python3 libimage-exiftool-perl exiv2; do
  have_pkg "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

# ImageMagick's own convert (not a wrapper of another name earlier in PATH).
im=""
for c in /usr/bin/convert-im6.q16 /usr/bin/magick /usr/bin/convert; do
  if [ -x "$c" ] && "$c" -version 2>/dev/null | grep -q ImageMagick; then
    im=$c
    break
  fi
done
[ -n "$im" ] || { echo "ImageMagick's convert not found" >&2; exit 1; }

# --- build -------------------------------------------------------------------
echo "== building norvane_bench (Release)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_BENCH=ON \
  -DNORVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target norvane_bench save_bench >/dev/null
bench=$build/bench/norvane_bench
save_bench=$build/bench/save_bench

# --- pictures ----------------------------------------------------------------
mkdir -p "$data"
jpg=$data/photo-6000x4000.jpg
png=$data/photo-6000x4000.png
if [ ! -s "$jpg" ] || [ ! -s "$png" ]; then
  echo "== making the test pictures (plasma fractal with grain, 6000x4000)"
  src=$data/source.ppm
  "$im" -size 6000x4000 plasma:fractal -attenuate 0.5 +noise Gaussian -depth 8 "$src"
  # Baseline, 4:2:0, quality 90.
  "$im" "$src" -interlace none -sampling-factor 2x2,1x1,1x1 -quality 90 "$jpg.tmp.jpg"
  mv "$jpg.tmp.jpg" "$jpg"
  "$im" "$src" -define png:color-type=2 -depth 8 "$png.tmp.png"
  mv "$png.tmp.png" "$png"
  rm -f "$src"
fi
for f in "$jpg" "$png"; do
  bytes=$(stat -c %s "$f")
  bpp=$(python3 -c "print(f'{$bytes * 8 / 24e6:.2f}')")
  echo "$(basename "$f"): $bytes bytes, $bpp bits a pixel"
  if python3 -c "import sys; sys.exit(0 if $bytes * 8 / 24e6 < 0.5 else 1)"; then
    echo "  too compressible to be photo-like; delete $data and run again" >&2
    exit 1
  fi
done

# --- in-process breakdown ----------------------------------------------------
echo
echo "== norvane_bench, in process (median of $runs)"
"$bench" -n "$runs" "$jpg" "$png" | grep -v '^RESULT'
# The same loads when memory freed by one run is kept for the next (glibc
# told never to give it back): the part of the figures above that is not the
# cost of memory new to the process.
echo
echo "== the same, memory kept between runs"
GLIBC_TUNABLES=glibc.malloc.mmap_threshold=4294967295:glibc.malloc.trim_threshold=4294967295 \
  "$bench" -n "$runs" "$jpg" "$png" | grep -E '^/|load\+fit|first paint  '

# --- processes ---------------------------------------------------------------
# median_ms NAME COMMAND...: the median wall time of the command, in ms.
median_ms() {
  local name=$1
  shift
  if command -v hyperfine >/dev/null; then
    hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/$name.json" -- "$(printf '%q ' "$@")" \
      >/dev/null 2>&1 || { echo "nan"; return; }
    python3 -c "import json,sys; print('%.1f' % (json.load(open(sys.argv[1]))['results'][0]['median']*1000))" \
      "$out/$name.json"
  else
    python3 - "$runs" "$@" <<'EOF'
import statistics, subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
t = []
for _ in range(runs):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    t.append((time.perf_counter() - t0) * 1000)
print('%.1f' % statistics.median(t))
EOF
  fi
}

# peak_kb COMMAND...: the peak resident set of one run, in KiB.
peak_kb() {
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

ratio() { python3 -c "import sys; a, b = float(sys.argv[1]), float(sys.argv[2]); print('%.2f' % (a / b) if b > 0 and a == a and b == b else 'n/a')" "$1" "$2"; }

one_thread=(env OMP_NUM_THREADS=1 MAGICK_THREAD_LIMIT=1 VIPS_CONCURRENCY=1)
all_threads=(env)

printf '\n== processes (median of %s runs; threads: ours 1, others 1 and %s)\n' "$runs" "$(nproc)"
for f in "$jpg" "$png"; do
  name=$(basename "$f")
  echo
  echo "$name"
  ours=$(median_ms ours "$bench" --once "$f")
  printf '  %-34s %9s ms   peak %7s KiB\n' "norvane load+fit" "$ours" "$(peak_kb "$bench" --once "$f")"
  floor=""
  if [ "${f##*.}" = jpg ]; then
    floor=$(median_ms djpeg djpeg -outfile /dev/null "$f")
    printf '  %-34s %9s ms   peak %7s KiB\n' "djpeg (decode only, the floor)" "$floor" \
      "$(peak_kb djpeg -outfile /dev/null "$f")"
  fi
  first=""
  if [ "${f##*.}" = jpg ]; then
    first=$(median_ms first "$bench" --once --first "$f")
    printf '  %-34s %9s ms   peak %7s KiB\n' "norvane first paint (reduced)" "$first" \
      "$(peak_kb "$bench" --once --first "$f")"
  fi
  declare -A t=()
  for mode in 1 all; do
    if [ $mode = 1 ]; then pre=("${one_thread[@]}"); else pre=("${all_threads[@]}"); fi
    gm_cmd=("${pre[@]}" gm convert "$f" -filter Catrom -resize 1024x1024 "$out/gm.ppm")
    im_cmd=("${pre[@]}" "$im" "$f" -filter Catrom -resize 1024x1024 "$out/im.ppm")
    vips_cmd=("${pre[@]}" vipsthumbnail -s 1024 "$f" -o "$out/vips.ppm")
    t[gm$mode]=$(median_ms gm$mode "${gm_cmd[@]}")
    printf '  %-34s %9s ms   peak %7s KiB\n' "gm convert, $mode thread(s)" "${t[gm$mode]}" "$(peak_kb "${gm_cmd[@]}")"
    t[im$mode]=$(median_ms im$mode "${im_cmd[@]}")
    printf '  %-34s %9s ms   peak %7s KiB\n' "convert (ImageMagick), $mode thread(s)" "${t[im$mode]}" \
      "$(peak_kb "${im_cmd[@]}")"
    t[vips$mode]=$(median_ms vips$mode "${vips_cmd[@]}")
    printf '  %-34s %9s ms   peak %7s KiB\n' "vipsthumbnail, $mode thread(s)" "${t[vips$mode]}" \
      "$(peak_kb "${vips_cmd[@]}")"
  done
  echo "  ratios:"
  [ -n "$floor" ] && echo "    ours/djpeg              $(ratio "$ours" "$floor")"
  [ -n "$first" ] && echo "    first paint/djpeg       $(ratio "$first" "$floor")   (aim: at most 0.35)"
  echo "    gm/ours                 $(ratio "${t[gm1]}" "$ours") (1 thread)   $(ratio "${t[gmall]}" "$ours") (all)"
  echo "    convert/ours            $(ratio "${t[im1]}" "$ours") (1 thread)   $(ratio "${t[imall]}" "$ours") (all)"
  echo "    vipsthumbnail/ours      $(ratio "${t[vips1]}" "$ours") (1 thread)   $(ratio "${t[vipsall]}" "$ours") (all)"
  unset t
done

# --- stepping through a folder -------------------------------------------------
# Eight names for the 24-megapixel JPEG (links), stepped through with the
# viewer's prefetcher: each step from the key to the picture ready to paint.
steps=$data/step
mkdir -p "$steps"
for i in 1 2 3 4 5 6 7 8; do ln -f "$jpg" "$steps/photo-$i.jpg"; done
echo
echo "== stepping through $(ls "$steps" | wc -l) pictures of 6000x4000 (decoding ahead)"
"$bench" --step "$steps"/photo-*.jpg | grep -v '^RESULT' | grep -v '^  step '
echo "  (aims: prefetched step under 20 ms; peak at most 3.5 x one picture's BGRA)"

# --- metadata save -------------------------------------------------------------
# The JPEG with EXIF, XMP and IPTC, made once; every timed run edits a fresh
# copy.
meta=$data/photo-6000x4000-meta.jpg
if [ ! -s "$meta" ]; then
  cp "$jpg" "$meta.tmp.jpg"
  exiftool -q -overwrite_original -Make=Bench -Model="Bench 1" -Artist=Original \
    -DateTimeOriginal="2024:05:06 07:08:09" -ExposureTime=1/125 -FNumber=2.8 -ISO=200 \
    -GPSLatitude=48.85 -GPSLatitudeRef=N -GPSLongitude=2.29 -GPSLongitudeRef=E \
    -XMP-dc:Title="Bench title" -XMP-dc:Subject=one -XMP-dc:Subject=two \
    -IPTC:Keywords=red -IPTC:Caption-Abstract="A caption" -IPTC:City=Paris "$meta.tmp.jpg"
  mv "$meta.tmp.jpg" "$meta"
fi
work=$out/copy.jpg

# median_copy_ms NAME COMMAND...: as median_ms, with a fresh copy of the
# picture at $work before every run (not timed).
median_copy_ms() {
  local name=$1
  shift
  if command -v hyperfine >/dev/null; then
    hyperfine -N --warmup 1 --runs "$runs" --prepare "cp $meta $work" \
      --export-json "$out/$name.json" -- "$(printf '%q ' "$@")" >/dev/null 2>&1 || { echo "nan"; return; }
    python3 -c "import json,sys; print('%.1f' % (json.load(open(sys.argv[1]))['results'][0]['median']*1000))" \
      "$out/$name.json"
  else
    python3 - "$runs" "$meta" "$work" "$@" <<'EOF'
import shutil, statistics, subprocess, sys, time
runs, src, dst, cmd = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4:]
t = []
for i in range(runs + 1):
    shutil.copyfile(src, dst)
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if i:
        t.append((time.perf_counter() - t0) * 1000)
print('%.1f' % statistics.median(t))
EOF
  fi
}

peak_copy_kb() {
  cp "$meta" "$work"
  peak_kb "$@"
}

echo
echo "== metadata save of $(basename "$meta") ($(stat -c %s "$meta") bytes): Artist changed"
"$save_bench" -n "$runs" "$meta"
ours=$(median_copy_ms save "$save_bench" --once "$work")
printf '  %-34s %9s ms   peak %7s KiB\n' "norvane verified save" "$ours" "$(peak_copy_kb "$save_bench" --once "$work")"
ex=$(median_copy_ms exiftool exiftool -q -overwrite_original -Artist=X "$work")
printf '  %-34s %9s ms   peak %7s KiB\n' "exiftool -Artist=X" "$ex" \
  "$(peak_copy_kb exiftool -q -overwrite_original -Artist=X "$work")"
e2=$(median_copy_ms exiv2 exiv2 -M"set Exif.Image.Artist X" "$work")
printf '  %-34s %9s ms   peak %7s KiB\n' "exiv2 -M\"set Exif.Image.Artist X\"" "$e2" \
  "$(peak_copy_kb exiv2 -M"set Exif.Image.Artist X" "$work")"
floor=$(median_ms djpegmeta djpeg -outfile /dev/null "$meta")
printf '  %-34s %9s ms   peak %7s KiB\n' "djpeg (decode only)" "$floor" \
  "$(peak_kb djpeg -outfile /dev/null "$meta")"
echo "  ratios:"
echo "    ours/djpeg              $(ratio "$ours" "$floor")   (aim: at most 2.3)"
echo "    exiftool/ours           $(ratio "$ex" "$ours")"
echo "    exiv2/ours              $(ratio "$e2" "$ours")"
