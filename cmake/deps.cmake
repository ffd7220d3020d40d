# Dependency libraries as imported targets dep::NAME. Natively they are
# Debian's packages; for Windows the static libraries that
# scripts/build-deps.sh cross-built into NORVANE_DEPS_PREFIX.

function(norvane_static_dep name)
  cmake_parse_arguments(A "" "" "LIBS;DEPS" ${ARGN})
  add_library(dep::${name} INTERFACE IMPORTED GLOBAL)
  set(paths)
  foreach(lib IN LISTS A_LIBS)
    set(p ${NORVANE_DEPS_PREFIX}/lib/lib${lib}.a)
    if(NOT EXISTS ${p})
      message(FATAL_ERROR "missing ${p}: run scripts/build-deps.sh")
    endif()
    list(APPEND paths ${p})
  endforeach()
  set_target_properties(dep::${name} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${NORVANE_DEPS_PREFIX}/include
    INTERFACE_LINK_LIBRARIES "${paths};${A_DEPS}")
endfunction()

if(WIN32)
  if(NOT NORVANE_DEPS_PREFIX)
    message(FATAL_ERROR "NORVANE_DEPS_PREFIX must name the cross-built dependencies")
  endif()
  norvane_static_dep(zlib LIBS z)
  norvane_static_dep(jpeg LIBS jpeg)
  norvane_static_dep(png LIBS png16 DEPS dep::zlib)
  norvane_static_dep(gif LIBS gif)
  norvane_static_dep(tiff LIBS tiff lzma zstd jbig webp DEPS dep::jpeg dep::zlib)
  norvane_static_dep(lcms2 LIBS lcms2)
  norvane_static_dep(webp LIBS webp)
  norvane_static_dep(webpdemux LIBS webpdemux DEPS dep::webp)
  norvane_static_dep(dav1d LIBS dav1d)
  norvane_static_dep(pugixml LIBS pugixml)
  # No AVIF library is cross-built: its decoder calls come from imaging/avif
  # (norvane_avif_layer, defined beside the other libraries) over dav1d.
  add_library(dep::avif INTERFACE IMPORTED GLOBAL)
  set_target_properties(dep::avif PROPERTIES INTERFACE_LINK_LIBRARIES norvane_avif_layer)
  set(NORVANE_HAVE_AVIF ON)
  add_link_options(-static)
else()
  find_package(PkgConfig REQUIRED)
  foreach(pair "zlib;zlib" "jpeg;libjpeg" "png;libpng16" "tiff;libtiff-4" "lcms2;lcms2"
               "webp;libwebp" "webpdemux;libwebpdemux" "avif;libavif" "dav1d;dav1d" "pugixml;pugixml")
    list(GET pair 0 name)
    list(GET pair 1 module)
    pkg_check_modules(PC_${name} REQUIRED IMPORTED_TARGET GLOBAL ${module})
    add_library(dep::${name} ALIAS PkgConfig::PC_${name})
  endforeach()
  find_library(GIF_LIB gif REQUIRED)
  add_library(dep::gif UNKNOWN IMPORTED GLOBAL)
  set_target_properties(dep::gif PROPERTIES IMPORTED_LOCATION ${GIF_LIB})
  set(NORVANE_HAVE_AVIF ON)
endif()
