// The Windows Imaging Component as the last decoder: only for bytes every
// decoder of our own has refused, so a file that one of them reads never
// looks different here than elsewhere.
#include "decode/system_decoder.h"

#include <windows.h>
// windows.h first: the codec header needs its types.
#include <wincodec.h>

#include <limits>

#include "decode/decode_internal.h"
#include "platform/owned.h"

namespace decode_internal {
namespace {

// COM for the duration of one decode, unless the thread has it already.
class ComScope {
 public:
  ComScope() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    uninit_ = hr == S_OK || hr == S_FALSE;
  }
  ~ComScope() {
    if (uninit_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool uninit_ = false;
};

// The EXIF orientation (1 to 8) the frame's metadata gives, or 1.
std::uint32_t OrientationOf(IWICBitmapFrameDecode* frame) {
  IWICMetadataQueryReader* raw = nullptr;
  if (FAILED(frame->GetMetadataQueryReader(&raw)) || !raw) return 1;
  Com<IWICMetadataQueryReader> reader(raw);
  for (const wchar_t* query :
       {L"/app1/ifd/{ushort=274}", L"/ifd/{ushort=274}", L"System.Photo.Orientation"}) {
    PROPVARIANT v;
    PropVariantInit(&v);
    if (FAILED(reader.get()->GetMetadataByName(query, &v))) continue;
    std::uint32_t value = 0;
    if (v.vt == VT_UI2) value = v.uiVal;
    if (v.vt == VT_UI4) value = v.ulVal;
    if (v.vt == VT_I4 && v.lVal > 0) value = static_cast<std::uint32_t>(v.lVal);
    PropVariantClear(&v);
    if (value >= 1 && value <= 8) return value;
  }
  return 1;
}

// The frame converted to sRGB when it carries an ICC profile; the frame
// itself otherwise, or when the conversion cannot be set up.
Com<IWICBitmapSource> InSrgb(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame) {
  frame->AddRef();
  Com<IWICBitmapSource> plain(frame);
  UINT count = 0;
  if (FAILED(frame->GetColorContexts(0, nullptr, &count)) || count == 0 || count > 16) {
    return plain;
  }
  IWICColorContext* contexts[16] = {};
  for (UINT i = 0; i < count; ++i) {
    if (FAILED(factory->CreateColorContext(&contexts[i]))) {
      for (UINT k = 0; k < i; ++k) contexts[k]->Release();
      return plain;
    }
  }
  Com<IWICColorContext> source;
  if (SUCCEEDED(frame->GetColorContexts(count, contexts, &count))) {
    for (UINT i = 0; i < count; ++i) {
      WICColorContextType type = WICColorContextUninitialized;
      if (!source && SUCCEEDED(contexts[i]->GetType(&type)) && type == WICColorContextProfile) {
        contexts[i]->AddRef();
        source.reset(contexts[i]);
      }
    }
  }
  for (IWICColorContext* c : contexts) {
    if (c) c->Release();
  }
  if (!source) return plain;
  IWICColorContext* rawSrgb = nullptr;
  if (FAILED(factory->CreateColorContext(&rawSrgb))) return plain;
  Com<IWICColorContext> srgb(rawSrgb);
  IWICColorTransform* rawTransform = nullptr;
  if (FAILED(srgb.get()->InitializeFromExifColorSpace(1)) ||
      FAILED(factory->CreateColorTransformer(&rawTransform))) {
    return plain;
  }
  Com<IWICColorTransform> transform(rawTransform);
  if (FAILED(transform.get()->Initialize(frame, source.get(), srgb.get(),
                                         GUID_WICPixelFormat32bppBGRA))) {
    return plain;
  }
  return Com<IWICBitmapSource>(transform.release());
}

}  // namespace

img::HResult DecodeWithSystem(const std::vector<std::uint8_t>& bytes, Picture* pic) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<DWORD>::max()) return img::kFail;
  ComScope com;
  IWICImagingFactory* rawFactory = nullptr;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&rawFactory)))) {
    return img::kFail;
  }
  Com<IWICImagingFactory> factory(rawFactory);
  IWICStream* rawStream = nullptr;
  if (FAILED(factory.get()->CreateStream(&rawStream))) return img::kFail;
  Com<IWICStream> stream(rawStream);
  if (FAILED(stream.get()->InitializeFromMemory(const_cast<BYTE*>(bytes.data()),
                                                static_cast<DWORD>(bytes.size())))) {
    return img::kFail;
  }
  IWICBitmapDecoder* rawDecoder = nullptr;
  if (FAILED(factory.get()->CreateDecoderFromStream(stream.get(), nullptr,
                                                    WICDecodeMetadataCacheOnDemand, &rawDecoder))) {
    return img::kFail;
  }
  Com<IWICBitmapDecoder> decoder(rawDecoder);
  IWICBitmapFrameDecode* rawFrame = nullptr;
  if (FAILED(decoder.get()->GetFrame(0, &rawFrame))) return img::kFail;
  Com<IWICBitmapFrameDecode> frame(rawFrame);
  UINT w = 0, h = 0;
  if (FAILED(frame.get()->GetSize(&w, &h)) || w == 0 || h == 0) return img::kFail;
  if (static_cast<std::uint64_t>(w) * h > img::kMaxPixels ||
      w > static_cast<UINT>(std::numeric_limits<int>::max() / 4)) {
    return img::kOutOfMemory;
  }
  Com<IWICBitmapSource> source = InSrgb(factory.get(), frame.get());
  IWICBitmapSource* rawConverted = nullptr;
  if (FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, source.get(), &rawConverted))) {
    return img::kFail;
  }
  Com<IWICBitmapSource> converted(rawConverted);
  if (!AllocPixels(pic, static_cast<int>(w), static_cast<int>(h))) return img::kOutOfMemory;
  const UINT stride = w * 4;
  const std::uint64_t size = static_cast<std::uint64_t>(stride) * h;
  if (size > std::numeric_limits<UINT>::max() ||
      FAILED(converted.get()->CopyPixels(nullptr, stride, static_cast<UINT>(size), pic->bits))) {
    DropPixels(pic);
    return img::kFail;
  }
  Reorient(pic, OrientationOf(frame.get()));
  return img::kOk;
}

}  // namespace decode_internal
