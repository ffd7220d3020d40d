// Inside the decode module: the Picture record and the steps of loading that
// the loader, the animation and the save path share.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "imaging/imaging.h"

struct Picture {
  // The size of the pixels held.
  std::int32_t width = 0;
  std::int32_t height = 0;
  // A reduced first look at a large picture holds its pixels at 1/reduction
  // of the whole picture's size, which is fullWidth × fullHeight.
  std::int32_t reduction = 1;
  std::int32_t fullWidth = 0, fullHeight = 0;
  PictureDC dc = nullptr;
  PictureBitmap dib = nullptr;
  void* oldBitmap = nullptr;  // what dc held before dib (Windows)
  std::uint8_t* bits = nullptr;

  // The GIF decoder kept while an animation runs.
  std::unique_ptr<img::Decoder> decoder;
  std::uint32_t frameCount = 0;
  std::uint32_t currentFrame = 0;
  std::uint32_t delayMs = 0;
  std::int32_t frameLeft = 0, frameTop = 0;
  std::int32_t frameWidth = 0, frameHeight = 0;
  std::uint32_t disposal = 0;
  // The logical screen, premultiplied; what the surface shows is it on the
  // checkerboard, refreshed a rectangle at a time.
  std::vector<std::uint8_t> canvas;
  // For a frame that restores to the previous canvas: the canvas under the
  // frame's rectangle (clipped to the screen) before it was drawn, row by row.
  std::vector<std::uint8_t> saved;
  img::Rect savedRect;
  // The current frame's pixels.
  std::vector<std::uint8_t> scratch;
  // The rectangles drawn since the canvas was last all transparent: clearing
  // them clears the canvas before the first frame repeats.
  std::vector<img::Rect> drawn;
  // Rectangles of the canvas changed since the surface last showed it.
  std::vector<img::Rect> pending;
  bool shown = false;  // the surface has shown the whole canvas once
  // Canvas and surface pixels written by the last compose or advance (for the
  // tests: a step costs what its frame covers, not the whole screen).
  std::uint64_t pixelsTouched = 0;
};

namespace decode_internal {

// What Sniff recognises from the first bytes.
enum Bundled { kBundledNone = 0, kBundledWebp = 1, kBundledAvif = 2 };

// True once decode_init succeeded.
bool FactoryReady();

// Pixel surfaces (one implementation per platform).
PictureBitmap MakeDibSection(int w, int h, std::uint8_t** bits);
bool AllocPixels(Picture* picture, int w, int h);
void DropPixels(Picture* picture);
// Puts a new bitmap in place of the picture's (Reorient): selects it into the
// DC, deletes the old one and sets bits and size.
void ReplacePixels(Picture* picture, PictureBitmap dib, std::uint8_t* bits, int w, int h);

Bundled Sniff(const std::wstring& path);
Bundled SniffBytes(const std::uint8_t* data, std::size_t n);
img::HResult DecodeBundled(Bundled kind, const std::vector<std::uint8_t>& bytes, Picture* picture);

std::uint32_t PickFrame(img::Decoder& decoder, img::Container container, std::uint32_t count);
std::uint32_t ReadOrientation(const img::Frame& frame);
void Reorient(Picture* picture, std::uint32_t orientation);
std::unique_ptr<img::ColorTransform> ColorManaged(const img::Frame& frame);
img::HResult DecodeStill(Picture* picture, img::Frame& frame, bool flatten, bool colorManage);
void Flatten(std::uint8_t* pixels, int width, int height);
// Flatten over the rectangle `r` (inside the picture) of a picture `width`
// pixels wide, with the checkerboard where the whole picture has it.
void FlattenRect(std::uint8_t* pixels, int width, const img::Rect& r);

bool GifCompose(Picture* picture, std::uint32_t index);

// The decoding half of picture_load, over the whole file's bytes: the bundled
// library first when `kind` names one, then the general decoders. For
// display the picture goes onto the checkerboard and a GIF of several frames
// starts its animation; otherwise (for saving) transparency is kept and a GIF
// of several frames gives its first frame as it is. A GIF of one frame is
// that frame placed on its logical screen either way.
img::HResult LoadBytes(Picture* picture, std::vector<std::uint8_t> bytes, Bundled kind,
                       bool forDisplay = true);

// The reduced first look of picture_load_reduced over the whole file's bytes.
Picture* LoadReducedBytes(const std::vector<std::uint8_t>& bytes,
                          const std::function<double(int, int)>& fitZoom);

// The format Save as writes for a file name, by its extension without regard
// to case: 1 PNG (.png), 2 JPEG (.jpg, .jpeg), 3 BMP (.bmp), 4 TIFF (.tif,
// .tiff), 5 GIF (.gif); 0 for anything else.
int SaveFormatFor(const std::wstring& path);

}  // namespace decode_internal
