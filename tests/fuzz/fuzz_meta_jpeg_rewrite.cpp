// Arbitrary bytes through the JPEG metadata rewrite: the listing, one edit,
// removal or addition chosen by the input's last bytes, the rewrite, and the
// listing of the result. Whenever the rewrite succeeds, its output must be a
// JPEG that lists again and keeps every byte from the scan on.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "tests/fuzz/rewrite_fuzz.h"

namespace {

std::vector<std::uint8_t> ScanOf(const std::vector<std::uint8_t>& jpeg) {
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  if (!meta::ParseJpeg(jpeg, &segs, &scan)) return {};
  return std::vector<std::uint8_t>(jpeg.begin() + static_cast<std::ptrdiff_t>(scan), jpeg.end());
}

const wchar_t* const kValues[] = {L"",
                                  L"x",
                                  L"Norvane Tester",
                                  L"12",
                                  L"1/250",
                                  L"-3",
                                  L"1 2 3",
                                  L"2024:01:02 03:04:05",
                                  L"\u00E9t\u00E9 \U0001F600"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The last three bytes choose what to do; the rest is the file.
  if (size < 4) return 0;
  const std::uint8_t op = data[size - 3], pick = data[size - 2], value = data[size - 1];
  size -= 3;
  MetaDoc doc;
  doc.bytes.assign(data, data + size);
  ParseBytes(&doc);
  if (doc.format != L"JPEG") return 0;
  const std::wstring text = kValues[value % (sizeof kValues / sizeof kValues[0])];
  std::vector<std::size_t> editable;
  for (std::size_t i = 0; i < doc.fields.size(); ++i) {
    if (doc.fields[i].editable || doc.fields[i].removable) editable.push_back(i);
  }
  switch (op % 4) {
    case 0:  // change one field's value
      if (!editable.empty()) doc.fields[editable[pick % editable.size()]].value = text;
      break;
    case 1:  // remove one field
      if (!editable.empty()) doc.fields[editable[pick % editable.size()]].removed = true;
      break;
    case 2: {  // add a preset field
      const std::int32_t i = meta_add(&doc, kJpegPresets[pick % kJpegPresetCount]);
      if (i >= 0) doc.fields[static_cast<std::size_t>(i)].value = text.empty() ? L"v" : text;
      break;
    }
    default:
      if (pick & 1) {
        meta_remove_gps(&doc);
      } else {
        meta_remove_all(&doc);
      }
      break;
  }
  std::vector<std::vector<std::uint8_t>> segments;
  std::wstring err;
  if (AnyMetaKept(doc) && !EditJpegMeta(doc.bytes, doc, L"", &segments, &err)) {
    if (err.empty()) std::abort();  // every refusal says why
    return 0;
  }
  for (const auto& s : segments) {
    if (s.size() < 4 || s[0] != 0xFF || (s[1] != 0xE1 && s[1] != 0xED && s[1] != 0xFE)) {
      std::abort();
    }
    if (static_cast<std::size_t>((s[2] << 8) | s[3]) + 2 != s.size()) std::abort();
  }
  std::vector<std::uint8_t> out;
  if (!SpliceJpeg(doc.bytes, segments, &out)) return 0;
  if (ScanOf(out).empty() || ScanOf(out) != ScanOf(doc.bytes)) std::abort();
  MetaDoc again;
  again.bytes = out;
  ParseBytes(&again);
  if (again.format != L"JPEG") std::abort();
  // The removal check runs on the result without trouble too.
  CheckRemoved(doc, &out, &err);
  if (out != again.bytes) std::abort();
  fuzz_rewrite::CheckOutput(doc, out, SamePicture);
  return 0;
}
