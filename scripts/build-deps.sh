#!/usr/bin/env bash
# Cross-builds the libraries the Windows build links, as static libraries for
# x86_64-w64-mingw32, from Debian's source packages of the versions Debian
# ships. The result goes to a cache folder outside the work tree, keyed by the
# package versions and this script, so a second run reuses it.
#
# Prints the prefix as its last line.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache_root=${NORVANE_DEPS_CACHE:-/var/cache/norvane-deps}
host=x86_64-w64-mingw32
cc=$host-gcc-posix
cxx=$host-g++-posix
jobs=${JOBS:-2}

# Binary package -> source package. The binary's installed (or candidate)
# version names the source version we try first.
pkgs=(
  "zlib1g-dev zlib"
  "libjpeg62-turbo-dev libjpeg-turbo"
  "libpng-dev libpng1.6"
  "libgif-dev giflib"
  "liblzma-dev xz-utils"
  "libzstd-dev libzstd"
  "libjbig-dev jbigkit"
  "libtiff-dev tiff"
  "liblcms2-dev lcms2"
  "libwebp-dev libwebp"
  "libdav1d-dev dav1d"
  "libpugixml-dev pugixml"
)

version_of() {
  local v
  v=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
  [ -n "$v" ] || v=$(apt-cache policy "$1" | awk '/Candidate:/ {print $2}')
  echo "$v"
}

key_text=$( {
  for p in "${pkgs[@]}"; do set -- $p; echo "$2 $(version_of "$1")"; done
  echo "googletest $(version_of googletest)"
  echo "$($cxx --version | head -1)"
  cat "$0" "$here/../cmake/mingw-w64-x86_64.cmake"
} )
key=$(printf '%s' "$key_text" | sha256sum | cut -c1-16)
prefix=$cache_root/$key
if [ -f "$prefix/.complete" ]; then
  echo "dependency cache hit: $prefix" >&2
  echo "$prefix"
  exit 0
fi

echo "building the Windows dependencies into $prefix" >&2
rm -rf "$prefix"
mkdir -p "$prefix"
work=$(mktemp -d /tmp/norvane-deps.XXXXXX)
. "$here/deb-src.sh"
cleanup() {
  deb_src_remove
  rm -rf "$work"
}
trap cleanup EXIT

deb_src_add

# Fetches the source package and records the version that was built.
fetch() {
  local v
  v=$(deb_src_fetch "$1" "$2" "$work/$1") || return 1
  echo "$1 $v" >> "$prefix/versions.txt"
  echo "$work/$1/src"
}

cmake_build() {
  local srcdir=$1; shift
  cmake -S "$srcdir" -B "$srcdir/_build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-x86_64.cmake" \
    -DNORVANE_DEPS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null
  cmake --build "$srcdir/_build" -j"$jobs" >/dev/null
  cmake --install "$srcdir/_build" >/dev/null
}

export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=

t0=$(date +%s)
# zlib
s=$(fetch zlib "$(version_of zlib1g-dev)")
(cd "$s" && CC=$cc AR=$host-ar RANLIB=$host-ranlib CHOST=$host ./configure --static --prefix="$prefix" >/dev/null && make -j"$jobs" libz.a >/dev/null && make install >/dev/null)
echo "  zlib done" >&2

# libjpeg-turbo with its SIMD (nasm)
s=$(fetch libjpeg-turbo "$(version_of libjpeg62-turbo-dev)")
cmake_build "$s" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm
echo "  libjpeg-turbo done" >&2

# libpng (its SSE code is on for x86_64)
s=$(fetch libpng1.6 "$(version_of libpng-dev)")
cmake_build "$s" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_INTEL_SSE=on \
  -DZLIB_ROOT="$prefix" -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include"
echo "  libpng done" >&2

# giflib: a plain Makefile
s=$(fetch giflib "$(version_of libgif-dev)")
(cd "$s" && make -j"$jobs" libgif.a CC=$cc AR=$host-ar CFLAGS="-O2 -std=gnu99 -Wall" >/dev/null \
  && install -m644 gif_lib.h "$prefix/include/" && install -m644 libgif.a "$prefix/lib/")
echo "  giflib done" >&2

# xz's liblzma: configure, the library alone
s=$(fetch xz-utils "$(version_of liblzma-dev)")
(cd "$s" && ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static --disable-xz \
  --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc \
  --disable-nls --disable-threads CC=$cc >/dev/null && make -j"$jobs" -C src/liblzma >/dev/null \
  && make -C src/liblzma install >/dev/null)
echo "  liblzma done" >&2

# zstd: the library's own Makefile, static only
s=$(fetch libzstd "$(version_of libzstd-dev)")
(cd "$s/lib" && make -j"$jobs" libzstd.a CC=$cc AR=$host-ar ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD_SUPPORT=0 >/dev/null \
  && install -m644 zstd.h zdict.h zstd_errors.h "$prefix/include/" && install -m644 libzstd.a "$prefix/lib/")
echo "  zstd done" >&2

# JBIG-KIT: the library's plain Makefile
s=$(fetch jbigkit "$(version_of libjbig-dev)")
(cd "$s/libjbig" && make -j"$jobs" libjbig.a CC=$cc AR=$host-ar RANLIB=$host-ranlib CFLAGS="-O2 -W -Wall" >/dev/null \
  && install -m644 jbig.h jbig_ar.h "$prefix/include/" && install -m644 libjbig.a "$prefix/lib/")
echo "  jbigkit done" >&2

# libwebp (before libtiff, which compresses with it)
s=$(fetch libwebp "$(version_of libwebp-dev)")
cmake_build "$s" -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF -DWEBP_BUILD_GIF2WEBP=OFF \
  -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF \
  -DWEBP_BUILD_EXTRAS=OFF -DWEBP_USE_THREAD=OFF
echo "  libwebp done" >&2

# libtiff with every codec the native library has: zlib, JPEG, LZMA, ZSTD,
# WebP and JBIG (liblzma's header wants to be told it is linked statically)
s=$(fetch tiff "$(version_of libtiff-dev)")
cmake_build "$s" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF \
  -Dzlib=ON -Djpeg=ON -Djbig=ON -Dlzma=ON -Dzstd=ON -Dwebp=ON -Dlerc=OFF -Dlibdeflate=OFF -Dold-jpeg=ON \
  -DCMAKE_C_FLAGS=-DLZMA_API_STATIC \
  -DZLIB_ROOT="$prefix" -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" \
  -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$prefix/include" \
  -DLIBLZMA_LIBRARY="$prefix/lib/liblzma.a" -DLIBLZMA_INCLUDE_DIR="$prefix/include" \
  -DZSTD_LIBRARY="$prefix/lib/libzstd.a" -DZSTD_INCLUDE_DIR="$prefix/include" \
  -DWebP_LIBRARY="$prefix/lib/libwebp.a" -DWebP_INCLUDE_DIR="$prefix/include" \
  -DJBIG_LIBRARY="$prefix/lib/libjbig.a" -DJBIG_INCLUDE_DIR="$prefix/include"
for codec in LZMA ZSTD WEBP; do
  grep -q "define ${codec}_SUPPORT 1" "$s/_build/libtiff/tif_config.h" \
    || { echo "libtiff was configured without $codec" >&2; exit 1; }
done
grep -q "define JBIG_SUPPORT" "$prefix/include/tiffconf.h" \
  || { echo "libtiff was configured without JBIG" >&2; exit 1; }
echo "  tiff done" >&2

# lcms2: configure takes --without-threads
s=$(fetch lcms2 "$(version_of liblcms2-dev)")
(cd "$s" && ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static --without-threads \
  --without-jpeg --without-tiff --without-zlib CC=$cc >/dev/null && make -j"$jobs" -C src >/dev/null && make -C src install >/dev/null && make -C include install >/dev/null)
echo "  lcms2 done" >&2

# dav1d with meson; no exe_wrapper, so configuration never starts Wine
s=$(fetch dav1d "$(version_of libdav1d-dev)")
cat > "$work/meson-cross.ini" <<CROSS
[binaries]
c = '$cc'
cpp = '$cxx'
ar = '$host-ar'
strip = '$host-strip'
windres = '$host-windres'
nasm = 'nasm'
[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
CROSS
(cd "$s" && meson setup _build --cross-file "$work/meson-cross.ini" --prefix="$prefix" --libdir=lib \
  --buildtype=release --default-library=static -Denable_tools=false -Denable_tests=false -Denable_examples=false >/dev/null \
  && ninja -C _build -j"$jobs" >/dev/null && ninja -C _build install >/dev/null)
echo "  dav1d done" >&2

# pugixml
s=$(fetch pugixml "$(version_of libpugixml-dev)")
cmake_build "$s" -DPUGIXML_BUILD_TESTS=OFF
echo "  pugixml done" >&2

# GoogleTest from Debian's googletest package
rm -rf "$work/gtest" && cp -r /usr/src/googletest "$work/gtest"
cmake_build "$work/gtest" -Dgtest_disable_pthreads=OFF
echo "googletest $(version_of googletest)" >> "$prefix/versions.txt"
echo "  googletest done" >&2

deb_src_remove update
touch "$prefix/.complete"
echo "dependencies built in $(( $(date +%s) - t0 )) s" >&2
echo "$prefix"
