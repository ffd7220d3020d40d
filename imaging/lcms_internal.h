// lcms2 inside the imaging module: owners for its profiles and transforms, and
// the transforms other decoders need besides the colour management's. Every
// lcms2 object is made after the library's error log has been silenced, so
// the functions that make them live in color.cpp with that setup.
#pragma once

#include <lcms2.h>

#include "platform/owned.h"

namespace img {

struct LcmsProfileTraits {
  using Type = cmsHPROFILE;
  static cmsHPROFILE Invalid() { return nullptr; }
  static void Release(cmsHPROFILE p) { cmsCloseProfile(p); }
};
using ProfileHandle = Owned<LcmsProfileTraits>;

struct LcmsTransformTraits {
  using Type = cmsHTRANSFORM;
  static cmsHTRANSFORM Invalid() { return nullptr; }
  static void Release(cmsHTRANSFORM t) { cmsDeleteTransform(t); }
};
using TransformHandle = Owned<LcmsTransformTraits>;

// L*a*b* (D50, as TIFF defines it) to sRGB: three floats in (L* 0 to 100,
// a* and b* signed), B, G, R bytes out. Invalid when lcms2 fails.
TransformHandle CreateLabToSrgb();

}  // namespace img
