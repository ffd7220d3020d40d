#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need (as root). Skips apt
# entirely when every package is already installed.
set -euo pipefail
packages=(
  cmake ninja-build pkg-config g++ clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64-posix mingw-w64-tools nasm meson dpkg-dev
  wine wine64 xvfb xauth
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libgif-dev libtiff-dev liblcms2-dev libwebp-dev
  libavif-dev libdav1d-dev libpugixml-dev libgtest-dev googletest
  imagemagick libjpeg-turbo-progs libavif-bin webp libimage-exiftool-perl exiv2
  libtiff-tools pngcheck giflib-tools
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
