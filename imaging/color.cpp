// Colour management with lcms2: an embedded ICC profile or the EXIF Adobe RGB
// colour space converted to sRGB, and the TIFF decoder's L*a*b* to sRGB.
#include <lcms2.h>

#include <mutex>
#include <utility>

#include "imaging/imaging.h"
#include "imaging/lcms_internal.h"

namespace img {
namespace {

// Called before any lcms2 object is made.
void SilenceLcms() {
  static std::once_flag once;
  std::call_once(once, [] { cmsSetLogErrorHandler(nullptr); });
}

// Adobe RGB (1998): D65 white, its primaries, gamma 563/256.
cmsHPROFILE CreateAdobeRgb() {
  cmsCIExyY white = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE primaries = {{0.6400, 0.3300, 1.0}, {0.2100, 0.7100, 1.0}, {0.1500, 0.0600, 1.0}};
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
  if (!gamma) return nullptr;
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(gamma);
  return p;
}

enum class Kind { Rgb, Gray, Cmyk };

class LcmsTransform : public ColorTransform {
 public:
  LcmsTransform(TransformHandle t, Kind kind) : t_(std::move(t)), kind_(kind) {}

  PixelFormat InputFormat() const override {
    return kind_ == Kind::Cmyk ? PixelFormat::Cmyk32 : PixelFormat::Bgra32;
  }

  void TransformBgra(std::uint8_t* bgra, std::size_t count) override {
    if (kind_ == Kind::Rgb) {
      // In place; the alpha byte is an extra channel lcms leaves alone.
      constexpr std::size_t kChunk = 1 << 16;
      for (std::size_t done = 0; done < count; done += kChunk) {
        std::size_t n = count - done < kChunk ? count - done : kChunk;
        cmsDoTransform(t_.get(), bgra + done * 4, bgra + done * 4, static_cast<cmsUInt32Number>(n));
      }
      return;
    }
    if (kind_ != Kind::Gray) return;
    // Gray profiles read one sample: the blue byte of a gray BGRA pixel.
    constexpr std::size_t kChunk = 4096;
    std::uint8_t gray[kChunk];
    std::uint8_t bgr[kChunk * 3];
    for (std::size_t done = 0; done < count; done += kChunk) {
      std::size_t n = count - done < kChunk ? count - done : kChunk;
      std::uint8_t* p = bgra + done * 4;
      for (std::size_t i = 0; i < n; ++i) gray[i] = p[i * 4];
      cmsDoTransform(t_.get(), gray, bgr, static_cast<cmsUInt32Number>(n));
      for (std::size_t i = 0; i < n; ++i) {
        p[i * 4] = bgr[i * 3];
        p[i * 4 + 1] = bgr[i * 3 + 1];
        p[i * 4 + 2] = bgr[i * 3 + 2];
      }
    }
  }

  HResult Copy(Frame& frame, std::uint8_t* buffer, std::size_t stride, std::size_t size) override {
    const std::uint32_t w = frame.Width(), h = frame.Height();
    HResult hr = kind_ == Kind::Cmyk ? frame.CopyCmyk(buffer, stride, size)
                                     : frame.CopyPixels(PixelFormat::Bgra32, buffer, stride, size);
    if (Failed(hr)) return hr;
    for (std::uint32_t y = 0; y < h; ++y) {
      std::uint8_t* row = buffer + y * stride;
      if (kind_ == Kind::Cmyk) {
        // CMYK in, BGRA out, pixel for pixel in place; the output's fourth
        // byte is not written by lcms, so it is set opaque afterwards.
        cmsDoTransform(t_.get(), row, row, w);
        for (std::uint32_t x = 0; x < w; ++x) row[x * 4 + 3] = 255;
      } else {
        TransformBgra(row, w);
      }
    }
    return hr;  // kFalse from a frame whose data ended early
  }

 private:
  TransformHandle t_;
  Kind kind_;
};

}  // namespace

std::unique_ptr<ColorTransform> CreateColorTransform(const ColorContext& source) {
  SilenceLcms();
  cmsHPROFILE src = nullptr;
  if (source.type == ColorContext::Type::Profile) {
    if (source.profile.empty() || source.profile.size() > 0x7FFFFFFF) return nullptr;
    src = cmsOpenProfileFromMem(source.profile.data(),
                                static_cast<cmsUInt32Number>(source.profile.size()));
  } else if (source.type == ColorContext::Type::ExifColorSpace && source.exifColorSpace == 2) {
    src = CreateAdobeRgb();
  }
  ProfileHandle srcHandle(src);
  if (!src) return nullptr;
  ProfileHandle dst(cmsCreate_sRGBProfile());
  if (!dst.get()) return nullptr;

  Kind kind;
  cmsUInt32Number in, out;
  switch (cmsGetColorSpace(src)) {
    case cmsSigRgbData:
      kind = Kind::Rgb, in = TYPE_BGRA_8, out = TYPE_BGRA_8;
      break;
    case cmsSigGrayData:
      kind = Kind::Gray, in = TYPE_GRAY_8, out = TYPE_BGR_8;
      break;
    case cmsSigCmykData:
      kind = Kind::Cmyk, in = TYPE_CMYK_8, out = TYPE_BGRA_8;
      break;
    default:
      return nullptr;
  }
  if (cmsGetDeviceClass(src) == cmsSigLinkClass || cmsGetDeviceClass(src) == cmsSigAbstractClass) {
    return nullptr;
  }
  TransformHandle t(cmsCreateTransform(src, in, dst.get(), out, INTENT_PERCEPTUAL, 0));
  if (!t) return nullptr;
  return std::make_unique<LcmsTransform>(std::move(t), kind);
}

TransformHandle CreateLabToSrgb() {
  SilenceLcms();
  ProfileHandle lab(cmsCreateLab4Profile(nullptr));
  ProfileHandle srgb(cmsCreate_sRGBProfile());
  if (!lab.get() || !srgb.get()) return TransformHandle();
  return TransformHandle(cmsCreateTransform(lab.get(), TYPE_Lab_FLT, srgb.get(), TYPE_BGR_8,
                                            INTENT_RELATIVE_COLORIMETRIC, 0));
}

}  // namespace img
