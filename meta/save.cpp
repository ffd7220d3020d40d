// Saving a document's metadata: the JPEG rewrite (fresh metadata segments
// spliced in front of the untouched scan), the checks that run on the new
// bytes before anything is written (removed fields really gone, the picture
// decoding to exactly the same pixels), and the replace through a temporary
// file. Any failure leaves the file as it was.
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"

namespace {

const wchar_t kMsgChanged[] =
    L"The file has changed on disk since it was opened here. Close this window and open it "
    L"again.";
const wchar_t kMsgNotEditable[] = L"This file type can't be edited here.";
const wchar_t kMsgUnusualJpeg[] =
    L"This JPEG file has an unusual structure and can't be rewritten safely.";
const wchar_t kMsgNotRemoved[] =
    L"\u201C%ls\u201D could not be removed from this file, so "
    L"nothing was saved.";
const wchar_t kMsgSafety[] =
    L"Safety check failed: the rewritten file did not decode to the same picture, so nothing was "
    L"saved.";
const wchar_t kMsgWrite[] =
    L"The file could not be written. It may be read-only or in use by another program.";
const wchar_t kMsgFallback[] = L"The changes could not be saved.";
const wchar_t kMsgRead[] = L"The file could not be read.";
const wchar_t kMsgPrepare[] = L"Windows could not prepare the metadata for writing.";
const wchar_t kMsgWriteMeta[] = L"Windows could not write the metadata.";
const wchar_t kMsgReadBack[] = L"The rewritten metadata could not be read back.";
const wchar_t kMsgInvalid[] = L"The value of \u201C%ls\u201D is not valid.";
const wchar_t kMsgRefused[] = L"Windows refused to write \u201C%ls\u201D.";

constexpr std::size_t kMaxSource = kMaxRewriteBytes;

bool Segment(std::uint8_t marker) { return marker == 0xE1 || marker == 0xED || marker == 0xFE; }

// The path of a field's key after the prefix, or empty when the key does not
// name a query path under that prefix.
std::wstring PathOf(const MetaField& f, const std::wstring& prefix) {
  if (!StartsWith(f.key, prefix)) return std::wstring();
  std::wstring path = f.key.substr(prefix.size());
  if (path.empty() || path[0] != L'/') return std::wstring();
  return path;
}

bool Written(const MetaField& f) {
  if (f.removed) return false;
  return f.added ? !f.value.empty() : f.value != f.loadedValue;
}

// The path a removal takes out: whole thumbnails and APP13 blocks, and the
// block of a comment or unknown segment.
std::wstring RemovalPath(const std::wstring& path) {
  if (StartsWith(path, L"/app1/thumb/")) return L"/app1/thumb";
  if (StartsWith(path, L"/app13") ||
      (StartsWith(path, L"/[") && path.find(L"]app13") != std::wstring::npos)) {
    return L"/app13";
  }
  if (EndsWith(path, L"com/TextEntry") || EndsWith(path, L"unknown/{}")) {
    return path.substr(0, path.rfind(L'/'));
  }
  return path;
}

bool RemovedQueryField(const MetaField& f) {
  return f.removed && !f.added && StartsWith(f.key, L"/");
}

}  // namespace

bool ApplyEdits(img::MetadataQueryWriter* writer, const MetaDoc& doc, const std::wstring& keyPrefix,
                std::wstring* err) {
  for (const MetaField& f : doc.fields) {
    const std::wstring path = PathOf(f, keyPrefix);
    if (path.empty() || !Written(f)) continue;
    img::PropValue value;
    if (!TextToVar(f.value, f.varType, &value)) {
      *err = platform::FormatMessageText(kMsgInvalid, f.label);
      return false;
    }
    if (!writer || img::Failed(writer->SetMetadataByName(platform::WideToUtf8(path), value))) {
      *err = platform::FormatMessageText(kMsgRefused, f.label);
      return false;
    }
  }
  // Removals run last and from the end, so that a block removed by index
  // does not shift the blocks named before it.
  bool thumbDone = false, app13Done = false;
  for (auto it = doc.fields.rbegin(); it != doc.fields.rend(); ++it) {
    const MetaField& f = *it;
    if (!f.removed || f.added) continue;
    const std::wstring path = PathOf(f, keyPrefix);
    if (path.empty()) continue;
    const std::wstring target = RemovalPath(path);
    if (target == L"/app1/thumb") {
      if (thumbDone) continue;
      thumbDone = true;
    } else if (target == L"/app13") {
      if (app13Done) continue;
      app13Done = true;
      // IPTC goes whole: every Photoshop block, also one continued in the
      // next segment or a second one further on.
      // A JPEG has at most as many blocks as its segment walk takes.
      for (int k = 0; writer && k < 10000; ++k) {
        const std::string block = k == 0 ? "/app13" : "/[" + std::to_string(k) + "]app13";
        if (img::Failed(writer->RemoveMetadataByName(block))) break;
      }
      continue;
    }
    // What the writer cannot remove shows up in the check of the new bytes.
    if (writer) writer->RemoveMetadataByName(platform::WideToUtf8(target));
  }
  return true;
}

bool EditJpegMeta(const std::vector<std::uint8_t>& source, const MetaDoc& doc,
                  const std::wstring& keyPrefix, std::vector<std::vector<std::uint8_t>>* segments,
                  std::wstring* err) {
  segments->clear();
  if (!Fac() || source.empty() || source.size() > kMaxSource) {
    *err = kMsgRead;
    return false;
  }
  std::unique_ptr<img::Decoder> decoder;
  std::unique_ptr<img::Frame> frame;
  if (img::Failed(img::CreateDecoderFromMemory(Borrow(source), &decoder)) || !decoder ||
      img::Failed(decoder->GetFrame(0, &frame)) || !frame) {
    *err = kMsgPrepare;
    return false;
  }
  img::JpegFrameEncoder encoder;
  img::MetadataQueryWriter* writer = nullptr;
  if (img::Failed(encoder.InitializeFromBlockReader(*frame)) ||
      !(writer = encoder.GetMetadataQueryWriter())) {
    *err = kMsgPrepare;
    return false;
  }
  if (!ApplyEdits(writer, doc, keyPrefix, err)) return false;
  // One white pixel, its row padded to four bytes.
  const std::uint8_t pixel[4] = {0xFF, 0xFF, 0xFF, 0x00};
  std::vector<std::uint8_t> scratch;
  if (img::Failed(encoder.Commit(pixel, 1, 1, 4, &scratch))) {
    *err = kMsgWriteMeta;
    return false;
  }
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  if (scratch.size() < 4 || scratch[0] != 0xFF || scratch[1] != 0xD8 ||
      !meta::ParseJpeg(scratch, &segs, &scan)) {
    *err = kMsgReadBack;
    return false;
  }
  for (const meta::Seg& s : segs) {
    if (!Segment(s.marker)) continue;
    const auto from = scratch.begin() + static_cast<std::ptrdiff_t>(s.offset);
    segments->emplace_back(from, from + static_cast<std::ptrdiff_t>(s.size));
  }
  return true;
}

namespace {

std::uint32_t Get32(const std::uint8_t* p, bool be) {
  return be ? (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                  (std::uint32_t{p[2]} << 8) | p[3]
            : (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) |
                  (std::uint32_t{p[1]} << 8) | p[0];
}

void Put32(std::uint8_t* p, std::uint32_t v, bool be) {
  for (int k = 0; k < 4; ++k) {
    p[be ? k : 3 - k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
  }
}

// A multi-picture segment (APP2 "MPF\0") finds the pictures stored after the
// main one by offsets counted from its own header. When the segments in
// front of it change size by another amount than the whole header does (a
// comment that stood after it moves in front), those offsets are moved by the
// difference so that they still point at the same pictures.
void KeepMpfOffsets(std::uint8_t* seg, std::size_t size, std::int64_t delta) {
  constexpr std::size_t kHead = 8;  // marker, length, "MPF\0"
  if (delta == 0 || size < kHead + 8 || std::memcmp(seg + 4, "MPF", 4) != 0) return;
  std::uint8_t* tiff = seg + kHead;
  const std::size_t n = size - kHead;
  const bool be = tiff[0] == 'M';
  if (!(tiff[0] == 'M' && tiff[1] == 'M') && !(tiff[0] == 'I' && tiff[1] == 'I')) return;
  const std::uint64_t ifd = Get32(tiff + 4, be);
  if (ifd > n || n - ifd < 2) return;
  const std::uint64_t count =
      be ? (tiff[ifd] << 8) | tiff[ifd + 1] : (tiff[ifd + 1] << 8) | tiff[ifd];
  if ((n - ifd - 2) / 12 < count) return;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint8_t* e = tiff + ifd + 2 + 12 * k;
    const unsigned tag = be ? (e[0] << 8) | e[1] : (e[1] << 8) | e[0];
    if (tag != 0xB002) continue;  // the picture entries, 16 bytes each
    const std::uint64_t bytes = Get32(e + 4, be);
    const std::uint64_t at = Get32(e + 8, be);
    if (bytes % 16 != 0 || at > n || bytes > n - at) return;
    for (std::uint64_t p = at; p < at + bytes; p += 16) {
      const std::int64_t old = Get32(tiff + p + 8, be);
      const std::int64_t moved = old + delta;
      // The first picture is the main one, at offset 0.
      if (old == 0 || moved <= 0 || moved > 0xFFFFFFFFll) continue;
      Put32(tiff + p + 8, static_cast<std::uint32_t>(moved), be);
    }
  }
}

}  // namespace

bool SpliceJpeg(const std::vector<std::uint8_t>& source,
                const std::vector<std::vector<std::uint8_t>>& segments,
                std::vector<std::uint8_t>* out) {
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  if (source.size() < 4 || source[0] != 0xFF || source[1] != 0xD8 ||
      !meta::ParseJpeg(source, &segs, &scan)) {
    return false;
  }
  out->clear();
  std::size_t extra = 0;
  for (const auto& s : segments) extra += s.size();
  out->reserve(source.size() + extra);
  out->push_back(0xFF);
  out->push_back(0xD8);
  bool placed = false;
  auto place = [&]() {
    if (placed) return;
    for (const auto& s : segments) out->insert(out->end(), s.begin(), s.end());
    placed = true;
  };
  struct Moved {
    std::size_t at, size;
    std::int64_t shift;
  };
  std::vector<Moved> mpf;
  for (const meta::Seg& s : segs) {
    if (Segment(s.marker)) continue;
    if (s.marker != 0xE0) place();
    if (s.marker == 0xE2) {
      mpf.push_back({out->size(), static_cast<std::size_t>(s.size),
                     static_cast<std::int64_t>(out->size()) - static_cast<std::int64_t>(s.offset)});
    }
    const auto from = source.begin() + static_cast<std::ptrdiff_t>(s.offset);
    out->insert(out->end(), from, from + static_cast<std::ptrdiff_t>(s.size));
  }
  place();
  const std::int64_t tail =
      static_cast<std::int64_t>(out->size()) - static_cast<std::int64_t>(scan);
  out->insert(out->end(), source.begin() + static_cast<std::ptrdiff_t>(scan), source.end());
  for (const Moved& m : mpf) KeepMpfOffsets(out->data() + m.at, m.size, tail - m.shift);
  return true;
}

bool CheckRemoved(const MetaDoc& doc, std::vector<std::uint8_t>* newBytes, std::wstring* err) {
  bool any = false;
  for (const MetaField& f : doc.fields) any = any || RemovedQueryField(f);
  if (!any) return true;
  // The new bytes are read as a file would be; they are lent to the scratch
  // document rather than copied, and handed back on every path.
  MetaDoc scratch;
  scratch.path = doc.path;
  scratch.bytes = std::move(*newBytes);
  struct GiveBack {
    MetaDoc* from;
    std::vector<std::uint8_t>* to;
    ~GiveBack() { *to = std::move(from->bytes); }
  } giveBack{&scratch, newBytes};
  ParseBytes(&scratch);

  for (const wchar_t* ending : {L"com/TextEntry", L"unknown/{}"}) {
    auto has = [&](const MetaField& f) {
      return StartsWith(f.key, L"/") && EndsWith(f.key, ending);
    };
    std::size_t kept = 0, found = 0;
    const MetaField* last = nullptr;
    for (const MetaField& f : doc.fields) {
      if (!has(f)) continue;
      if (!f.removed && (!f.added || !f.value.empty())) ++kept;
      if (f.removed && !f.added) last = &f;
    }
    for (const MetaField& f : scratch.fields) found += has(f) ? 1 : 0;
    if (last && found > kept) {
      *err = platform::FormatMessageText(kMsgNotRemoved, last->label);
      return false;
    }
  }
  for (const MetaField& f : doc.fields) {
    if (!RemovedQueryField(f) || EndsWith(f.key, L"com/TextEntry") ||
        EndsWith(f.key, L"unknown/{}")) {
      continue;
    }
    for (const MetaField& g : scratch.fields) {
      if (g.key == f.key) {
        *err = platform::FormatMessageText(kMsgNotRemoved, f.label);
        return false;
      }
    }
  }
  return true;
}

namespace {

// The first frame of a file as 32-bit straight BGRA rows, `width` × 4 bytes
// apart, into a buffer the call allocates (nothing when it fails).
struct Frame32 {
  std::unique_ptr<std::uint8_t[]> pixels;
  std::size_t size = 0;
  std::uint32_t width = 0, height = 0;
};

bool DecodeFirstFrame(const std::vector<std::uint8_t>& content, Frame32* out) {
  if (!Fac() || content.empty() || content.size() > kMaxSource) return false;
  std::unique_ptr<img::Decoder> decoder;
  std::unique_ptr<img::Frame> frame;
  if (img::Failed(img::CreateDecoderFromMemory(Borrow(content), &decoder)) || !decoder ||
      img::Failed(decoder->GetFrame(0, &frame)) || !frame) {
    return false;
  }
  const std::uint32_t w = frame->Width(), h = frame->Height();
  if (w == 0 || h == 0 || std::uint64_t{w} * h > img::kMaxPixels) return false;
  const std::size_t stride = std::size_t{w} * 4;
  // Left uninitialised: the decoder writes every byte, and filling a picture
  // of this size first would cost a pass of its own.
  std::unique_ptr<std::uint8_t[]> pixels(new (std::nothrow) std::uint8_t[stride * h]);
  if (!pixels ||
      img::Failed(frame->CopyPixels(img::PixelFormat::Bgra32, pixels.get(), stride, stride * h))) {
    return false;
  }
  out->pixels = std::move(pixels);
  out->size = stride * h;
  out->width = w;
  out->height = h;
  return true;
}

}  // namespace

bool RawPixels(const std::vector<std::uint8_t>& content, std::vector<std::uint8_t>* pixels,
               std::uint32_t* width, std::uint32_t* height) {
  Frame32 frame;
  if (!DecodeFirstFrame(content, &frame)) return false;
  try {
    pixels->assign(frame.pixels.get(), frame.pixels.get() + frame.size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  *width = frame.width;
  *height = frame.height;
  return true;
}

namespace {

// Rows compared at a time: small enough that neither side holds more than a
// megabyte or two, large enough that the two decoders rarely wait.
constexpr std::uint32_t kBandRows = 64;

struct Opened {
  std::unique_ptr<img::Decoder> decoder;
  std::unique_ptr<img::Frame> frame;
};

bool OpenFirstFrame(const std::vector<std::uint8_t>& content, Opened* out) {
  if (!Fac() || content.empty() || content.size() > kMaxSource) return false;
  if (img::Failed(img::CreateDecoderFromMemory(Borrow(content), &out->decoder)) || !out->decoder ||
      img::Failed(out->decoder->GetFrame(0, &out->frame)) || !out->frame) {
    return false;
  }
  const std::uint32_t w = out->frame->Width(), h = out->frame->Height();
  return w != 0 && h != 0 && std::uint64_t{w} * h <= img::kMaxPixels;
}

// Both pictures decode side by side, band by band; each pair of bands is
// compared as soon as both have arrived, and the first difference stops both.
// The meeting point is a plain mutex and condition variable: the library's
// barrier has been seen to miss a wake-up on some platforms, and a save that
// hangs is worse than one that is a little slower.
class Lockstep {
 public:
  explicit Lockstep(std::size_t rowBytes) : rowBytes_(rowBytes) {}

  // Hands over side i's band and waits for the other side's; false once the
  // pictures are known to differ.
  bool Arrive(int i, const std::uint8_t* rows, std::uint32_t first, std::uint32_t count,
              std::size_t stride) {
    std::unique_lock<std::mutex> lock(mutex_);
    band_[i] = {rows, first, count, stride};
    const std::uint64_t generation = generation_;
    if (++waiting_ >= parties_) {
      Complete();
    } else {
      wake_.wait(lock, [&] { return generation_ != generation; });
    }
    return same_;
  }

  // Side i has no more bands (or failed); a side still waiting is released.
  void Leave(int i, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    band_[i] = {};
    failed_ = failed_ || failed;
    --parties_;
    if (parties_ > 0 && waiting_ >= parties_) Complete();
  }

  bool Same() {
    std::lock_guard<std::mutex> lock(mutex_);
    return same_ && !failed_;
  }

 private:
  struct Band {
    const std::uint8_t* rows = nullptr;
    std::uint32_t first = 0, count = 0;
    std::size_t stride = 0;
  };

  // Runs with the mutex held, once both bands (or one band and a departure)
  // are in.
  void Complete() {
    const Band& x = band_[0];
    const Band& y = band_[1];
    if (failed_ || !x.rows || !y.rows || x.first != y.first || x.count != y.count) {
      same_ = false;
    }
    for (std::uint32_t r = 0; same_ && r < x.count; ++r) {
      same_ = std::memcmp(x.rows + r * x.stride, y.rows + r * y.stride, rowBytes_) == 0;
    }
    waiting_ = 0;
    ++generation_;
    wake_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  Band band_[2];
  const std::size_t rowBytes_;  // the same for both: the sizes were compared first
  int parties_ = 2;
  int waiting_ = 0;
  std::uint64_t generation_ = 0;
  bool same_ = true;
  bool failed_ = false;
};

bool SameInLockstep(Opened* a, Opened* b) {
  Lockstep shared(static_cast<std::size_t>(a->frame->Width()) * 4);
  auto side = [&shared](Opened* o, int i) {
    const img::HResult hr = o->frame->CopyPixelsInBands(
        img::PixelFormat::Bgra32, kBandRows,
        [&](const std::uint8_t* rows, std::uint32_t first, std::uint32_t count,
            std::size_t stride) { return shared.Arrive(i, rows, first, count, stride); });
    shared.Leave(i, img::Failed(hr));
  };
  std::thread other(side, b, 1);  // throws when no thread can be had
  side(a, 0);
  other.join();
  return shared.Same();
}

}  // namespace

bool SamePicture(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  Opened oa, ob;
  if (!OpenFirstFrame(a, &oa) || !OpenFirstFrame(b, &ob)) return false;
  if (oa.frame->Width() != ob.frame->Width() || oa.frame->Height() != ob.frame->Height()) {
    return false;
  }
  try {
    return SameInLockstep(&oa, &ob);
  } catch (const std::system_error&) {
  }
  // Without a second thread: both whole, one after the other.
  Frame32 fa, fb;
  return DecodeFirstFrame(a, &fa) && DecodeFirstFrame(b, &fb) && fa.size == fb.size &&
         std::memcmp(fa.pixels.get(), fb.pixels.get(), fa.size) == 0;
}

bool WriteAtomic(const std::wstring& path, const std::vector<std::uint8_t>& content,
                 std::wstring* err) {
  std::wstring kept;
  switch (platform::WriteAtomically(path, content.data(), content.size(), &kept)) {
    case platform::AtomicResult::Ok:
      return true;
    case platform::AtomicResult::KeptAside:
      *err = platform::KeptAsideMessage(kept);
      return false;
    default:
      *err = kMsgWrite;
      return false;
  }
}

namespace {

// The whole save; the first failing step sets the message.
bool Save(const MetaDoc& doc, std::wstring* err) {
  {
    std::vector<std::uint8_t> now;
    std::uint64_t time = 0;
    if (!ReadWhole(doc.path, &now, &time) || now.size() != doc.bytes.size() ||
        time != doc.fileTime) {
      *err = kMsgChanged;
      return false;
    }
  }
  if (!doc.editable) {
    *err = kMsgNotEditable;
    return false;
  }
  std::vector<std::uint8_t> out;
  if (doc.format == L"JPEG") {
    // A file the splice cannot take (no scan, for example) is refused before
    // any of its metadata is prepared.
    std::vector<meta::Seg> segs;
    std::uint64_t scan = 0;
    if (!meta::ParseJpeg(doc.bytes, &segs, &scan)) {
      *err = kMsgUnusualJpeg;
      return false;
    }
    std::vector<std::vector<std::uint8_t>> segments;
    if (AnyMetaKept(doc) && !EditJpegMeta(doc.bytes, doc, L"", &segments, err)) return false;
    if (!SpliceJpeg(doc.bytes, segments, &out)) {
      *err = kMsgUnusualJpeg;
      return false;
    }
  } else if (doc.format == L"GIF") {
    if (!SaveGif(doc, &out, err)) return false;
  } else if (doc.format == L"PNG") {
    if (!SavePng(doc, &out, err)) return false;
  } else if (doc.format == L"WebP") {
    if (!SaveWebp(doc, &out, err)) return false;
  } else if (doc.format == L"TIFF") {
    if (!SaveTiff(doc, &out, err)) return false;
  } else {
    *err = kMsgNotEditable;
    return false;
  }
  if (!CheckRemoved(doc, &out, err)) return false;
  const bool same = doc.format == L"GIF"    ? SameGif(doc.bytes, out)
                    : doc.format == L"WebP" ? SameWebp(doc.bytes, out)
                    : doc.format == L"TIFF" ? SameTiff(doc.bytes, out)
                                            : SamePicture(doc.bytes, out);
  if (!same) {
    *err = kMsgSafety;
    return false;
  }
  if (!WriteAtomic(doc.path, out, err)) return false;
  return true;
}

}  // namespace

bool meta_save(const MetaDoc& doc, wchar_t* err, std::int32_t errLen) {
  std::wstring message;
  bool ok = false;
  try {
    ok = Save(doc, &message);
  } catch (const std::exception&) {
    ok = false;
  }
  if (ok) return true;
  if (message.empty()) message = kMsgFallback;
  if (err && errLen > 0) {
    platform::WriteMessage(err, static_cast<std::size_t>(errLen), message);
  }
  return false;
}
