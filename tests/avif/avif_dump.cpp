// Prints what the AVIF decoder calls the program uses report for each file,
// and writes the decoded BGRA pixels, so that the same source linked once with
// the AVIF library and once with imaging/avif can be compared.
//
//   avif_dump [--builtin] OUT_DIR FILE...
//                                    one line per file on stdout; OUT_DIR/NAME.bgra.
//                                    --builtin asks the library for its own
//                                    floating-point conversion with bilinear
//                                    chroma instead of its fixed-point helper
//                                    library (imaging/avif ignores the request:
//                                    it always converts that way)
//   avif_dump --diff DIR_A DIR_B NAME...
//                                    compares pixel files: within 1 for 8-bit
//                                    sources, 2 for deeper ones
//
// A pixel file is "WIDTH HEIGHT DEPTH\n" followed by the rows of BGRA bytes.
#include <avif/avif.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::uint64_t Fnv(const std::uint8_t* p, std::size_t n) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

std::string BlobText(const avifRWData& d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%zu:%016llx", d.size,
                static_cast<unsigned long long>(d.data ? Fnv(d.data, d.size) : 0));
  return buf;
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One file: metadata after parsing, then the pixels after decoding.
std::string Dump(const std::string& path, const std::string& out_dir, bool builtin) {
  std::ostringstream line;
  line << BaseName(path);
  std::vector<std::uint8_t> bytes;
  if (!ReadFile(path, &bytes)) return line.str() + " unreadable";
  avifDecoder* dec = avifDecoderCreate();
  dec->maxThreads = 1;
  avifResult r = avifDecoderSetIOMemory(dec, bytes.data(), bytes.size());
  if (r == AVIF_RESULT_OK) r = avifDecoderParse(dec);
  line << " parse=" << static_cast<int>(r);
  if (r == AVIF_RESULT_OK && dec->image) {
    const avifImage* im = dec->image;
    line << " size=" << im->width << "x" << im->height << " depth=" << im->depth
         << " transform=" << im->transformFlags << " irot=" << static_cast<int>(im->irot.angle)
         << " imir=" << static_cast<int>(im->imir.mode) << " icc=" << BlobText(im->icc)
         << " exif=" << BlobText(im->exif) << " xmp=" << BlobText(im->xmp)
         << " alpha=" << dec->alphaPresent;
    r = avifDecoderNextImage(dec);
    line << " next=" << static_cast<int>(r);
  }
  if (r == AVIF_RESULT_OK) {
    const avifImage* im = dec->image;
    line << " decoded=" << im->width << "x" << im->height << " format=" << im->yuvFormat
         << " range=" << im->yuvRange << " matrix=" << im->matrixCoefficients;
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, im);
    rgb.depth = 8;
    rgb.format = AVIF_RGB_FORMAT_BGRA;
    rgb.alphaPremultiplied = AVIF_FALSE;
    if (builtin) {
      rgb.avoidLibYUV = AVIF_TRUE;
      rgb.chromaUpsampling = AVIF_CHROMA_UPSAMPLING_BILINEAR;
    }
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(im->width) * im->height * 4);
    rgb.pixels = pixels.data();
    rgb.rowBytes = im->width * 4;
    r = avifImageYUVToRGB(im, &rgb);
    line << " rgb=" << static_cast<int>(r);
    if (r == AVIF_RESULT_OK) {
      std::ofstream f(out_dir + "/" + BaseName(path) + ".bgra", std::ios::binary);
      f << im->width << " " << im->height << " " << im->depth << "\n";
      f.write(reinterpret_cast<const char*>(pixels.data()),
              static_cast<std::streamsize>(pixels.size()));
    }
  }
  avifDecoderDestroy(dec);
  return line.str();
}

bool ReadPixels(const std::string& path, unsigned* w, unsigned* h, unsigned* depth,
                std::vector<std::uint8_t>* px) {
  std::vector<std::uint8_t> all;
  if (!ReadFile(path, &all)) return false;
  std::size_t nl = 0;
  while (nl < all.size() && all[nl] != '\n') ++nl;
  if (nl == all.size()) return false;
  std::istringstream head(std::string(all.begin(), all.begin() + static_cast<long>(nl)));
  if (!(head >> *w >> *h >> *depth)) return false;
  px->assign(all.begin() + static_cast<long>(nl) + 1, all.end());
  return px->size() == static_cast<std::size_t>(*w) * *h * 4;
}

int Diff(const std::string& a_dir, const std::string& b_dir, int argc, char** argv) {
  int failures = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string name = argv[i];
    unsigned wa, ha, da, wb, hb, db;
    std::vector<std::uint8_t> a, b;
    if (!ReadPixels(a_dir + "/" + name + ".bgra", &wa, &ha, &da, &a) ||
        !ReadPixels(b_dir + "/" + name + ".bgra", &wb, &hb, &db, &b)) {
      std::printf("%s: missing or malformed pixel file\n", name.c_str());
      ++failures;
      continue;
    }
    if (wa != wb || ha != hb || da != db) {
      std::printf("%s: %ux%u/%u against %ux%u/%u\n", name.c_str(), wa, ha, da, wb, hb, db);
      ++failures;
      continue;
    }
    const int tolerance = da > 8 ? 2 : 1;
    int worst = 0;
    std::size_t worst_at = 0, over = 0;
    for (std::size_t k = 0; k < a.size(); ++k) {
      const int d = std::abs(static_cast<int>(a[k]) - static_cast<int>(b[k]));
      if (d > tolerance) ++over;
      if (d > worst) {
        worst = d;
        worst_at = k;
      }
    }
    std::printf("%s: max difference %d (channel %zu of pixel %zu,%zu), %zu over %d\n", name.c_str(),
                worst, worst_at % 4, (worst_at / 4) % wa, worst_at / 4 / wa, over, tolerance);
    if (over) ++failures;
  }
  std::printf("%d passed, %d failed\n", argc - failures, failures);
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "--diff")
    return Diff(argv[2], argv[3], argc - 4, argv + 4);
  int first = 1;
  const bool builtin = argc > 1 && std::string(argv[1]) == "--builtin";
  if (builtin) ++first;
  if (argc < first + 2) {
    std::fprintf(stderr, "usage: %s [--builtin] OUT_DIR FILE... | --diff DIR_A DIR_B NAME...\n",
                 argv[0]);
    return 2;
  }
  for (int i = first + 1; i < argc; ++i) {
    std::printf("%s\n", Dump(argv[i], argv[first], builtin).c_str());
  }
  return 0;
}
