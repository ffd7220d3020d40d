// Rewriting a TIFF file's metadata. TIFF is not edited byte by byte: the
// imaging component writes every page again with its own pixels, copies every
// tag and takes the edits of the first page's metadata through its query
// writer; the picture check then compares every page's decoded samples.
#include <memory>

#include "meta/meta_internal.h"

namespace {

const wchar_t kMsgRead[] = L"The file could not be read.";
const wchar_t kMsgOpen[] = L"Windows could not open this TIFF file for rewriting.";
const wchar_t kMsgLeftAlone[] =
    L"This TIFF stores its pixels in a form Windows can't write back unchanged, so it was left "
    L"alone.";
const wchar_t kMsgRewrite[] = L"Windows could not rewrite this TIFF file.";

}  // namespace

bool SaveTiff(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err) {
  out->clear();
  if (!Fac() || doc.bytes.empty() || doc.bytes.size() > kMaxRewriteBytes) {
    *err = kMsgRead;
    return false;
  }
  img::TiffRewriter rewriter;
  img::MetadataQueryWriter* writer = nullptr;
  if (img::Failed(rewriter.Open(Borrow(doc.bytes))) ||
      !(writer = rewriter.GetMetadataQueryWriter())) {
    *err = kMsgOpen;
    return false;
  }
  if (!ApplyEdits(writer, doc, L"", err)) return false;
  const img::HResult hr = rewriter.Commit(out);
  if (hr == img::kErrUnsupportedPixelFormat) {
    *err = kMsgLeftAlone;
    return false;
  }
  if (img::Failed(hr) || out->empty()) {
    out->clear();
    *err = kMsgRewrite;
    return false;
  }
  return true;
}

bool SameTiff(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (!Fac() || a.size() > kMaxRewriteBytes || b.size() > kMaxRewriteBytes) return false;
  return img::SameTiffPages(Borrow(a), Borrow(b));
}
