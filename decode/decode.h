// The Picture record: one decoded file held ready for display, as
// premultiplied 32-bit BGRA pixels, top-down, stride = width × 4. On Windows
// the pixels are a DIB section selected into the picture's own memory DC;
// elsewhere they are plain memory with the same convention.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#ifdef _WIN32
struct HBITMAP__;
struct HDC__;
using PictureBitmap = HBITMAP__*;  // an HBITMAP; release with DeleteObject
using PictureDC = HDC__*;
#else
struct PosixBitmap;
using PictureBitmap = PosixBitmap*;  // release with bitmap_delete
using PictureDC = void*;
#endif

struct Picture;

// The imaging component, made ready once at start-up and released at the end.
bool decode_init();
void decode_shutdown();

// Loads a picture, or returns null and writes one sentence into err (errLen
// wide characters, always zero-terminated, truncated when short).
Picture* picture_load(const wchar_t* path, wchar_t* err, std::size_t errLen);
void picture_free(Picture* picture);

// A quick first look at a large JPEG: when the picture, its orientation
// applied, would be shown at `fitZoom(width, height)` ≤ 1/2, it is decoded at
// the largest reduction of the scaled DCT (1/2, 1/4 or 1/8) whose size is
// still at least the shown size, with its colour profile and orientation.
// Null when that does not apply (another format, a larger zoom, a CMYK
// picture, damaged data): the caller then loads the whole picture.
Picture* picture_load_reduced(const wchar_t* path, const std::function<double(int, int)>& fitZoom);

// What the viewer opens, from one read of the file: the reduced first look
// of picture_load_reduced where it applies (picture_reduction > 1), else the
// whole picture as picture_load gives it, with its message on failure.
Picture* picture_open(const wchar_t* path, const std::function<double(int, int)>& fitZoom,
                      wchar_t* err, std::size_t errLen);

// The whole picture's size, also for a reduced first look.
int picture_width(const Picture* picture);
int picture_height(const Picture* picture);
// 1 for a whole picture, else the reduction (2, 4 or 8) of a first look.
int picture_reduction(const Picture* picture);
// The size of the pixels picture_dc and picture_bits hold.
int picture_pixel_width(const Picture* picture);
int picture_pixel_height(const Picture* picture);
PictureDC picture_dc(const Picture* picture);
std::uint8_t* picture_bits(const Picture* picture);
bool picture_animated(const Picture* picture);
std::uint32_t picture_delay_ms(const Picture* picture);

// A new bitmap of w × h pixels holding the picture resampled to that size,
// owned by the caller; null on any failure.
PictureBitmap picture_scaled(const Picture* picture, int w, int h);

// Shows the next frame of an animation. False when the picture is not
// animated or the next frame failed (the animation has then stopped).
bool picture_advance(Picture* picture);

// The pixels of a bitmap made by picture_scaled, and its release.
std::uint8_t* bitmap_bits(PictureBitmap bitmap);
void bitmap_delete(PictureBitmap bitmap);

// Save as: writes the picture to `destination` as PNG, JPEG, BMP, TIFF or GIF,
// chosen by the extension. The pixels are those of the file `source` decoded
// again without the checkerboard (transparency kept for PNG and TIFF, put on
// white for the others), the frame on display for an animation, or the
// picture as displayed when there is no source or it no longer decodes. The
// file is written next to the destination under a new name and then swapped
// in. False with one sentence in err (as picture_load) on failure.
bool picture_save(const Picture* picture, const wchar_t* source, const wchar_t* destination,
                  wchar_t* err, std::size_t errLen);
// The file `source` decoded again (the first frame) as a PNG file with its
// transparency, for other programs that read pictures from the clipboard.
// False when it no longer decodes or cannot be encoded.
bool picture_file_png(const wchar_t* source, std::vector<std::uint8_t>* png);
// True when picture_save can write a file of that name's extension.
bool picture_can_write(const wchar_t* path);
