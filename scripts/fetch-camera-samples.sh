#!/usr/bin/env bash
# Real camera JPEGs with maker notes of many makes, for the tests that check a
# metadata save against exiftool and exiv2: the test images in Debian's source
# packages of those two programs, of which only the JPEG files that carry a
# maker note are kept. They are not ours to put in the repository, so they go
# to a cache folder outside the work tree (NORVANE_CAMERA_SAMPLES_CACHE, by
# default camera-samples in the dependency cache), and a second run downloads
# nothing.
#
# Prints the folder as its last line.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
dir=${NORVANE_CAMERA_SAMPLES_CACHE:-${NORVANE_DEPS_CACHE:-/var/cache/norvane-deps}/camera-samples}

# Source package, the binary package whose version is wanted, the folder of
# test images inside the source, and the prefix that keeps names from the two
# packages apart.
sources=(
  "libimage-exiftool-perl libimage-exiftool-perl t/images exiftool-"
  "exiv2 exiv2 test/data exiv2-"
)

# The selection rules are this script, so a changed script fills the folder
# again.
stamp=$(sha256sum "$0" | cut -c1-16)
if [ -f "$dir/.complete" ] && [ "$(head -n 1 "$dir/.complete")" = "$stamp" ]; then
  echo "$dir"
  exit 0
fi

version_of() {
  local v
  v=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
  [ -n "$v" ] || v=$(apt-cache policy "$1" | awk '/Candidate:/ {print $2}')
  echo "$v"
}

echo "fetching camera samples into $dir" >&2
work=$(mktemp -d /tmp/norvane-samples.XXXXXX)
. "$here/deb-src.sh"
cleanup() {
  deb_src_remove
  rm -rf "$work"
}
trap cleanup EXIT
deb_src_add

# The folder is filled beside its final place and renamed at the end, so an
# interrupted run never leaves a half-filled folder that looks complete.
fresh=$dir.new
rm -rf "$fresh"
mkdir -p "$fresh"
versions=
for s in "${sources[@]}"; do
  set -- $s
  src=$1 bin=$2 images=$3 prefix=$4
  v=$(deb_src_fetch "$src" "$(version_of "$bin")" "$work/$src")
  versions="$versions$src $v"$'\n'
  # JPEG by content and by name, with a maker note (exiftool -MakerNotes:all
  # lists something): beside the camera files lie crash reproducers and test
  # outputs under other names, which are no camera's work. exiftool's status
  # says whether any file was left out, which is no error here.
  { exiftool -q -q -ext jpg -ext jpeg -if '$FileType eq "JPEG" and $MakerNotes:all' \
      -p '$Directory/$FileName' "$work/$src/src/$images" 2>/dev/null || true; } |
    while read -r f; do
      name=$(basename "$f")
      case $name in "$prefix"*) ;; *) name=$prefix$name ;; esac
      cp "$f" "$fresh/$name"
    done
done

# Some files are in the packages twice under different names; one of each is
# enough.
(cd "$fresh" && sha256sum -- * | sort | awk 'seen[$1]++ {print $2}' | xargs -r rm -f --)

if [ -z "$(ls -A "$fresh")" ]; then
  echo "no camera samples with maker notes were found" >&2
  exit 1
fi
printf '%s\n%s' "$stamp" "$versions" > "$fresh/.complete"
rm -rf "$dir"
mv "$fresh" "$dir"
deb_src_remove update
echo "camera samples: $(ls "$dir" | wc -l) files" >&2
echo "$dir"
