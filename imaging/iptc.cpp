// Photoshop image resources and the IPTC-IIM record inside them.
//
// A resource is "8BIM", a 16-bit id, a Pascal name padded to an even length,
// a 32-bit big-endian size and the data padded to an even length. The IPTC
// record is a run of datasets: 0x1C, record number, dataset number, a 16-bit
// size (high bit set: the low bits count the size bytes that follow) and the
// data.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "imaging/byte_reader.h"
#include "imaging/imaging.h"

namespace img {
namespace {

constexpr std::uint16_t kIptcResource = 0x0404;
// Real records hold a few dozen datasets and a few dozen resources; a TIFF tag
// can be as large as the file, so the item count is capped.
constexpr std::size_t kMaxItems = 10000;
constexpr std::uint16_t kVtLpstrVector = kVtVector | kVtLpstr;

// Record 2 (the application record) datasets by number. Names carry no "/",
// so each is one query path component.
struct Dataset {
  std::uint8_t number;
  const char* name;
};
constexpr Dataset kApplicationDatasets[] = {
    {0, "ApplicationRecordVersion"},
    {3, "ObjectTypeReference"},
    {4, "ObjectAttributeReference"},
    {5, "ObjectName"},
    {7, "EditStatus"},
    {8, "EditorialUpdate"},
    {10, "Urgency"},
    {12, "SubjectReference"},
    {15, "Category"},
    {20, "SupplementalCategories"},
    {22, "FixtureIdentifier"},
    {25, "Keywords"},
    {26, "ContentLocationCode"},
    {27, "ContentLocationName"},
    {30, "ReleaseDate"},
    {35, "ReleaseTime"},
    {37, "ExpirationDate"},
    {38, "ExpirationTime"},
    {40, "SpecialInstructions"},
    {42, "ActionAdvised"},
    {45, "ReferenceService"},
    {47, "ReferenceDate"},
    {50, "ReferenceNumber"},
    {55, "DateCreated"},
    {60, "TimeCreated"},
    {62, "DigitalCreationDate"},
    {63, "DigitalCreationTime"},
    {65, "OriginatingProgram"},
    {70, "ProgramVersion"},
    {75, "ObjectCycle"},
    {80, "By-line"},
    {85, "By-lineTitle"},
    {90, "City"},
    {92, "Sub-location"},
    {95, "Province-State"},
    {100, "Country-PrimaryLocationCode"},
    {101, "Country-PrimaryLocationName"},
    {103, "OriginalTransmissionReference"},
    {105, "Headline"},
    {110, "Credit"},
    {115, "Source"},
    {116, "CopyrightNotice"},
    {118, "Contact"},
    {120, "Caption-Abstract"},
    {122, "Writer-Editor"},
    {130, "ImageType"},
    {131, "ImageOrientation"},
    {135, "LanguageIdentifier"},
};

const char* DatasetName(std::uint8_t record, std::uint8_t dataset) {
  if (record != 2) return nullptr;
  for (const Dataset& d : kApplicationDatasets) {
    if (d.number == dataset) return d.name;
  }
  return nullptr;
}

// Reads one dataset header and its data; false at the end of the record or at
// anything that is not a well-formed dataset.
bool NextDataset(ByteReader& r, std::uint8_t* record, std::uint8_t* dataset,
                 const std::uint8_t** data, std::size_t* size) {
  if (r.left() < 5 || r.U8() != 0x1C) return false;
  *record = r.U8();
  *dataset = r.U8();
  std::uint64_t n = r.U16BE();
  if (n & 0x8000) {
    // Extended size: the low bits count the size bytes that follow. Four
    // bytes cover anything a file can hold.
    const unsigned count = static_cast<unsigned>(n & 0x7FFF);
    if (count == 0 || count > 4) return false;
    n = 0;
    for (unsigned k = 0; k < count; ++k) n = (n << 8) | r.U8();
  }
  if (!r.ok() || !r.Has(n)) return false;
  *data = r.here();
  *size = static_cast<std::size_t>(n);
  r.Skip(n);
  return true;
}

}  // namespace

std::shared_ptr<const MetadataReader> ParseIptc(const std::uint8_t* data, std::size_t size) {
  if (!data) return nullptr;
  std::vector<MetaItem> items;
  ByteReader r(data, size);
  std::uint8_t record = 0, dataset = 0;
  const std::uint8_t* p = nullptr;
  std::size_t n = 0;
  std::map<const char*, std::size_t> firstOf;  // named string datasets by item index
  std::size_t datasets = 0;
  while (datasets++ < kMaxItems && NextDataset(r, &record, &dataset, &p, &n)) {
    std::string bytes(reinterpret_cast<const char*>(p), n);
    const char* name = DatasetName(record, dataset);
    if (!name) {
      items.push_back({"{str=" + std::to_string(record) + ":" + std::to_string(dataset) + "}",
                       PropValue::Blob(std::move(bytes))});
      continue;
    }
    if (record == 2 && dataset == 0) {
      items.push_back(
          {name, n == 2 ? PropValue::UI2(ByteReader::Be16(p)) : PropValue::Blob(std::move(bytes))});
      continue;
    }
    // A repeated dataset (keywords, bylines, ...) is one vector item at the
    // place of its first occurrence.
    auto [at, isNew] = firstOf.try_emplace(name, items.size());
    if (isNew) {
      items.push_back({name, PropValue::Lpstr(std::move(bytes))});
      continue;
    }
    PropValue& first = items[at->second].value;
    if (first.vt == kVtLpstr) {
      first.vt = kVtLpstrVector;
      first.strs.push_back(std::move(first.bytes));
      first.bytes.clear();
    }
    first.strs.push_back(std::move(bytes));
  }
  if (items.empty()) return nullptr;
  return std::make_shared<MetadataReader>("iptc", std::move(items));
}

std::shared_ptr<const MetadataReader> ParsePhotoshopResources(const std::uint8_t* data,
                                                              std::size_t size) {
  if (!data) return nullptr;
  std::vector<MetaItem> items;
  ByteReader r(data, size);
  while (r.left() >= 12 && items.size() < kMaxItems) {
    std::uint8_t sig[4];
    r.Read(sig, 4);
    const std::uint16_t id = r.U16BE();
    const std::uint8_t nameLen = r.U8();
    // The name with its length byte takes an even number of bytes.
    r.Skip(nameLen + ((nameLen + 1u) & 1u));
    const std::uint32_t n = r.U32BE();
    if (!r.ok() || !r.Has(n)) break;
    const std::uint8_t* p = r.here();
    r.Skip(n);
    if (n & 1u) r.Skip(std::min<std::size_t>(1, r.left()));  // the pad may be missing at the end
    // Other signatures ("PHUT", "AgHg", ...) share the layout; they are
    // stepped over.
    if (std::memcmp(sig, "8BIM", 4) != 0) continue;
    if (id == kIptcResource) {
      if (auto iptc = ParseIptc(p, n)) {
        auto wrapper = std::make_shared<MetadataReader>(
            "8bimiptc", std::vector<MetaItem>{{"iptc", PropValue::Reader(std::move(iptc))}});
        items.push_back({"8bimiptc", PropValue::Reader(std::move(wrapper))});
        continue;
      }
    }
    items.push_back({"{ushort=" + std::to_string(id) + "}",
                     PropValue::Blob(std::string(reinterpret_cast<const char*>(p), n))});
  }
  if (items.empty()) return nullptr;
  return std::make_shared<MetadataReader>("irb", std::move(items));
}

}  // namespace img
