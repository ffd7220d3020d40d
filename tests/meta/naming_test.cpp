// Field naming: tag ids, inner names, groups and labels, value text, and the
// walk over reader trees with its rewrites and overrides.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "meta/meta_internal.h"

namespace {

using img::MetadataReader;
using img::MetaItem;
using img::PropValue;

std::shared_ptr<const MetadataReader> R(const char* format, std::vector<MetaItem> items) {
  return std::make_shared<MetadataReader>(format, std::move(items));
}

PropValue Vec(std::uint16_t element, std::vector<std::uint64_t> nums) {
  PropValue v;
  v.vt = static_cast<std::uint16_t>(img::kVtVector | element);
  v.nums = std::move(nums);
  return v;
}

PropValue Bytes(std::uint16_t vt, std::string bytes) {
  PropValue v;
  v.vt = vt;
  v.bytes = std::move(bytes);
  return v;
}

std::uint64_t Pair(std::uint32_t lo, std::uint32_t hi) {
  return lo | (static_cast<std::uint64_t>(hi) << 32);
}

const MetaField* Find(const MetaDoc& doc, const std::wstring& key) {
  for (const MetaField& f : doc.fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

TEST(TagIdTest, Components) {
  struct Case {
    const wchar_t* component;
    bool ok;
    std::uint32_t tag;
  } cases[] = {
      {L"{ushort=271}", true, 271}, {L"{ushort=}", true, 0},  // nothing after '=' reads as 0
      {L"{ushort=12x}", true, 12},  // reading stops at the first non-digit
      {L"{uint=5}", false, 0},      // another type is no tag
      {L"{ushort}", false, 0},      // no '='
      {L"{us}", false, 0},          // too short to be one
      {L"ushort=3", false, 0},      // no brace
      {L"{ulong=0}", false, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t tag = 99;
    EXPECT_EQ(TagId(c.component, &tag), c.ok) << std::string(c.component, c.component + 4);
    if (c.ok) {
      EXPECT_EQ(tag, c.tag);
    }
  }
}

TEST(InnerTest, Components) {
  EXPECT_EQ(Inner(L"{str=Caption}"), L"Caption");
  EXPECT_EQ(Inner(L"{ushort=271}"), L"271");
  EXPECT_EQ(Inner(L"TextEntry"), L"TextEntry");
  EXPECT_EQ(Inner(L"{}"), L"{}");        // too short
  EXPECT_EQ(Inner(L"{abc}"), L"{abc}");  // no '='
  EXPECT_EQ(Inner(L"{a=b=c}"), L"b=c");  // from the first '='
}

TEST(DescribeTest, GroupsAndLabels) {
  struct Case {
    const wchar_t* path;
    const wchar_t* group;
    const wchar_t* label;
  } cases[] = {
      {L"/app1/ifd/{ushort=271}", L"Camera and exposure", L"Camera make"},
      {L"/app1/ifd/{ushort=270}", L"Description and credits", L"Description"},
      {L"/app1/ifd/{ushort=259}", L"Image", L"Compression"},  // Walk moves it to Technical
      {L"/app1/ifd/{ushort=999}", L"Image", L"Tag 999"},
      {L"/app1/ifd/exif/{ushort=33434}", L"Camera and exposure", L"Exposure time"},
      {L"/app1/ifd/exif/{ushort=37510}", L"Description and credits", L"User comment"},
      {L"/app1/ifd/exif/{ushort=42032}", L"Description and credits", L"Camera owner"},
      {L"/app1/ifd/exif/{ushort=1}", L"Camera and exposure", L"Tag 1"},
      {L"/app1/ifd/gps/{ushort=2}", L"GPS", L"Latitude"},
      {L"/app1/ifd/gps/{ushort=31}", L"GPS", L"Positioning error"},
      {L"/app1/ifd/gps/{ushort=99}", L"GPS", L"Tag 99"},
      {L"/app1/thumb/{ushort=259}", L"Embedded thumbnail", L"Tag 259"},
      {L"/app1/thumb/{}", L"Embedded thumbnail", L"Image data"},
      {L"/app1/ifd/exif/interop/{ushort=1}", L"Technical", L"app1/ifd/exif/interop/{ushort=1}"},
      {L"/app0/Version", L"Technical", L"app0/Version"},
      {L"/app14/Flags0", L"Technical", L"app14/Flags0"},
      {L"/luminance/TableEntry", L"Technical", L"luminance/TableEntry"},
      {L"/chrominance/TableEntry", L"Technical", L"chrominance/TableEntry"},
      {L"/imgdesc/Left", L"Technical", L"imgdesc/Left"},
      {L"/grctlext/Delay", L"Technical", L"grctlext/Delay"},
      {L"/logscrdesc/Width", L"Technical", L"logscrdesc/Width"},
      {L"/appext/Application", L"Technical", L"appext/Application"},
      {L"/gAMA/ImageGamma", L"Technical", L"gAMA/ImageGamma"},
      {L"/xmp/dc:title/x-default", L"XMP", L"dc:title / x-default"},
      {L"/xmp/dc:subject/{ulong=0}", L"XMP", L"dc:subject / {ulong=0}"},
      {L"/app13/irb/8bimiptc/iptc/Keywords", L"IPTC and Photoshop", L"Keywords"},
      {L"/ifd/iptc/{str=2:200}", L"IPTC and Photoshop", L"2:200"},
      {L"/ifd/irb/{ushort=1036}", L"Technical", L"1036"},
      {L"/unknown/{}", L"Other", L"Unrecognised block"},
      {L"/[2]unknown/{}", L"Other", L"Unrecognised block"},
      {L"/com/TextEntry", L"Comment", L"Comment"},
      {L"/[1]com/TextEntry", L"Comment", L"Comment"},
      {L"/commentext/TextEntry", L"Comment", L"Comment"},
      {L"/tEXt/{str=Title}", L"PNG text", L"Title"},
      {L"/ifd/{ushort=282}", L"Image", L"Horizontal resolution"},
      {L"/ifd/{ushort=40091}", L"Description and credits", L"Title (Windows)"},
      {L"/pHYs/UnitSpecifier", L"Other", L"pHYs/UnitSpecifier"},
      {L"x", L"Other", L"x"},
  };
  for (const Case& c : cases) {
    FieldName n = Describe(c.path);
    EXPECT_EQ(n.group, c.group) << std::wstring(c.path).size();
    EXPECT_EQ(n.label, c.label) << std::wstring(c.path).size();
  }
}

TEST(DescribeTest, TablesHaveTheirSizesAndDistinctTags) {
  const std::pair<const TagRow*, std::size_t> tables[] = {
      {kIfdTags, kIfdTagCount}, {kExifTags, kExifTagCount}, {kGpsTags, kGpsTagCount}};
  for (const auto& [rows, n] : tables) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) EXPECT_NE(rows[i].tag, rows[j].tag);
    }
  }
}

TEST(ValueTextTest, ByType) {
  PropValue strs;
  strs.vt = img::kVtVector | img::kVtLpstr;
  strs.strs = {"one", "two", "caf\xC3\xA9"};
  PropValue wstrs;
  wstrs.vt = img::kVtVector | img::kVtLpwstr;
  wstrs.strs = {"a", "b"};
  PropValue reals;
  reals.vt = img::kVtVector | img::kVtR8;
  reals.reals = {1.5, 2.5};
  PropValue emptyReals;
  emptyReals.vt = img::kVtVector | img::kVtR8;
  std::vector<std::uint64_t> many(33, Pair(1, 1));
  std::vector<std::uint64_t> gps = {Pair(52, 1), Pair(22, 1), Pair(3075, 100)};
  PropValue clsid;
  clsid.vt = img::kVtClsid;
  PropValue unknownWithout;
  unknownWithout.vt = img::kVtUnknown;
  struct Case {
    PropValue value;
    const wchar_t* text;
    bool editable;
  } cases[] = {
      {PropValue::UI2(6), L"6", true},
      {PropValue::I2(-5), L"-5", true},
      {PropValue::I1(-128), L"-128", true},
      {PropValue::UI4(4294967295u), L"4294967295", true},
      {PropValue::R8(2.5), L"2.5", true},
      {PropValue::R4(0.1f), L"0.1", true},
      {PropValue::R8(1e10), L"1e+10", true},
      {PropValue::Bool(true), L"true", true},
      {PropValue::Lpwstr(L"Hi"), L"Hi", true},
      {PropValue::Lpstr("caf\xC3\xA9"), L"caf\u00E9", true},
      {PropValue::Lpstr("caf\xE9"), L"caf\u00E9", true},          // not UTF-8: the code page
      {PropValue::Lpstr(std::string("ab\0cd", 5)), L"ab", true},  // up to the first zero
      {PropValue::UI8(Pair(1, 250)), L"1/250", true},
      {PropValue::I8(static_cast<std::int64_t>(Pair(static_cast<std::uint32_t>(-1), 3))), L"-1/3",
       true},
      {PropValue::Blob(std::string(12, 'x')), L"(binary, 12 bytes)", false},
      {Bytes(img::kVtVector | img::kVtUI1, std::string("\x02\x03\x00\x00", 4)), L"2 3 0 0", true},
      {Bytes(img::kVtVector | img::kVtUI1, std::string(9, '\1')), L"(binary, 9 bytes)", false},
      {Bytes(img::kVtVector | img::kVtUI1, std::string()), L"", true},
      {strs, L"one; two; caf\u00E9", false},
      {wstrs, L"a; b", false},
      {Vec(img::kVtUI2, {8, 8, 8}), L"8 8 8", true},
      {Vec(img::kVtI2, {0xFFFF, 2}), L"-1 2", true},
      {Vec(img::kVtI4, {0xFFFFFFFE}), L"-2", true},
      {Vec(img::kVtUI8, gps), L"52/1 22/1 3075/100", true},
      {Vec(img::kVtI8, {Pair(static_cast<std::uint32_t>(-7), 2)}), L"-7/2", true},
      {Vec(img::kVtUI8, many), L"(33 values)", false},
      {Vec(img::kVtUI2, {}), L"", true},
      {reals, L"(2 values)", false},
      {emptyReals, L"", true},
      {clsid, L"(not shown)", false},
      {unknownWithout, L"(not shown)", false},
  };
  int row = 0;
  for (const Case& c : cases) {
    bool editable = !c.editable;
    EXPECT_EQ(ValueText(c.value, &editable), c.text) << "row " << row;
    EXPECT_EQ(editable, c.editable) << "row " << row;
    ++row;
  }
}

// A JPEG-like tree: EXIF with IFD0, the EXIF and GPS directories, the
// thumbnail directory, two comments, IPTC and an ICC segment.
std::shared_ptr<const MetadataReader> JpegTree() {
  auto gps =
      R("gps", {{"{ushort=2}", Vec(img::kVtUI8, {Pair(52, 1), Pair(22, 1), Pair(3075, 100)})}});
  auto interop = R("interop", {{"{ushort=1}", PropValue::Lpstr("R98")}});
  auto exif2 = R("exif", {{"{ushort=33434}", PropValue::UI8(Pair(1, 250))},
                          {"{ushort=40965}", PropValue::Reader(interop)}});
  std::string title = std::string("T\0i\0\0\0", 6);
  auto ifd0 = R("ifd", {{"{ushort=271}", PropValue::Lpstr("Canon")},
                        {"{ushort=259}", PropValue::UI2(6)},
                        {"{ushort=282}", PropValue::UI8(Pair(72, 1))},
                        {"{ushort=40091}", Bytes(img::kVtVector | img::kVtUI1, title)},
                        {"{ushort=34665}", PropValue::Reader(exif2)},
                        {"{ushort=34853}", PropValue::Reader(gps)}});
  auto thumb = R("thumb", {{"{ushort=259}", PropValue::UI2(6)},
                           {"{}", PropValue::Blob(std::string(100, 'j'))}});
  auto app1 = R(
      "app1", {{"{ushort=0}", PropValue::Reader(ifd0)}, {"{ushort=1}", PropValue::Reader(thumb)}});
  auto iptc = R("iptc", {{"Keywords", PropValue::Lpstr("k")}});
  auto irbIptc = R("8bimiptc", {{"iptc", PropValue::Reader(iptc)}});
  auto irb = R("irb", {{"8bimiptc", PropValue::Reader(irbIptc)}});
  auto app13 = R("app13", {{"irb", PropValue::Reader(irb)}});
  auto com1 = R("com", {{"TextEntry", PropValue::Lpstr("first")}});
  auto com2 = R("com", {{"TextEntry", PropValue::Lpstr("second")}});
  std::string icc = std::string("\xFF\xE2\x00\x20", 4) + "ICC_PROFILE" + std::string(17, '\0');
  auto unk = R("unknown", {{"{}", PropValue::Blob(icc)}});
  std::string app1Other = std::string("\xFF\xE1\x00\x06", 4) + "abcd";
  auto unk2 = R("unknown", {{"{}", PropValue::Blob(app1Other)}});
  std::string app12 = std::string("\xFF\xEC\x00\x06", 4) + "Duck";
  auto unk3 = R("unknown", {{"{}", PropValue::Blob(app12)}});
  return R("jpeg", {{"app1", PropValue::Reader(app1)},
                    {"app13", PropValue::Reader(app13)},
                    {"com", PropValue::Reader(com1)},
                    {"unknown", PropValue::Reader(unk)},
                    {"com", PropValue::Reader(com2)},
                    {"unknown", PropValue::Reader(unk2)},
                    {"unknown", PropValue::Reader(unk3)},
                    {"empty", PropValue()}});
}

TEST(WalkTest, KeysGroupsAndFlagsOfAJpegTree) {
  MetaDoc doc;
  auto tree = JpegTree();
  Walk(tree.get(), L"", &doc, L"", true, 0);
  std::vector<std::wstring> keys;
  for (const MetaField& f : doc.fields) keys.push_back(f.key);
  const std::vector<std::wstring> expected = {
      L"/app1/ifd/{ushort=271}",
      L"/app1/ifd/{ushort=259}",
      L"/app1/ifd/{ushort=282}",
      L"/app1/ifd/{ushort=40091}",
      L"/app1/ifd/exif/{ushort=33434}",
      L"/app1/ifd/exif/interop/{ushort=1}",
      L"/app1/ifd/gps/{ushort=2}",
      L"/app1/thumb/{ushort=259}",
      L"/app1/thumb/{}",
      L"/app13/irb/8bimiptc/iptc/Keywords",
      L"/com/TextEntry",
      L"/unknown/{}",
      L"/[1]com/TextEntry",
      L"/[1]unknown/{}",
      L"/[2]unknown/{}",
  };
  EXPECT_EQ(keys, expected);

  struct Row {
    const wchar_t* key;
    const wchar_t* group;
    const wchar_t* label;
    const wchar_t* value;
    bool editable, removable;
  } rows[] = {
      {L"/app1/ifd/{ushort=271}", L"Camera and exposure", L"Camera make", L"Canon", true, true},
      // structural tag: Technical whatever the table says
      {L"/app1/ifd/{ushort=259}", L"Technical", L"Compression", L"6", false, false},
      // resolution is structural only in a TIFF's own directory
      {L"/app1/ifd/{ushort=282}", L"Image", L"Horizontal resolution", L"72/1", true, true},
      {L"/app1/ifd/{ushort=40091}", L"Description and credits", L"Title (Windows)", L"Ti", true,
       true},
      {L"/app1/ifd/exif/{ushort=33434}", L"Camera and exposure", L"Exposure time", L"1/250", true,
       true},
      {L"/app1/ifd/exif/interop/{ushort=1}", L"Technical", L"app1/ifd/exif/interop/{ushort=1}",
       L"R98", false, false},
      {L"/app1/ifd/gps/{ushort=2}", L"GPS", L"Latitude", L"52/1 22/1 3075/100", true, true},
      {L"/app1/thumb/{ushort=259}", L"Embedded thumbnail", L"Tag 259", L"6", false, true},
      {L"/app1/thumb/{}", L"Embedded thumbnail", L"Image data", L"(binary, 100 bytes)", false,
       true},
      {L"/app13/irb/8bimiptc/iptc/Keywords", L"IPTC and Photoshop", L"Keywords", L"k", false, true},
      {L"/com/TextEntry", L"Comment", L"Comment", L"first", true, true},
      {L"/unknown/{}", L"Technical", L"Colour profile", L"(28 bytes)", false, false},
      {L"/[1]com/TextEntry", L"Comment", L"Comment", L"second", true, true},
      // an APP1 that is neither EXIF nor XMP stays an unrecognised block
      {L"/[1]unknown/{}", L"Other", L"Unrecognised block", L"(binary, 8 bytes)", false, true},
      {L"/[2]unknown/{}", L"Technical", L"Other block", L"(4 bytes)", false, false},
  };
  for (const Row& r : rows) {
    const MetaField* f = Find(doc, r.key);
    ASSERT_NE(f, nullptr) << std::wstring(r.key).size();
    EXPECT_EQ(f->group, r.group) << f->value;
    EXPECT_EQ(f->label, r.label);
    EXPECT_EQ(f->value, r.value);
    EXPECT_EQ(f->editable, r.editable) << f->label;
    EXPECT_EQ(f->removable, r.removable) << f->label;
    EXPECT_EQ(f->loadedValue, f->value);
    EXPECT_EQ(f->loadedLabel, f->label);
    EXPECT_EQ(f->blockIndex, -1);
    EXPECT_FALSE(f->renamable || f->removed || f->added);
  }
  EXPECT_EQ(Find(doc, L"/app1/ifd/{ushort=40091}")->varType, kVtUtf16Bytes);
  EXPECT_EQ(Find(doc, L"/app1/ifd/exif/{ushort=33434}")->varType, img::kVtUI8);
}

TEST(WalkTest, PrefixAndNoEditing) {
  MetaDoc doc;
  auto tree = JpegTree();
  Walk(tree.get(), L"", &doc, L"exif:", false, 0);
  ASSERT_FALSE(doc.fields.empty());
  for (const MetaField& f : doc.fields) {
    EXPECT_TRUE(StartsWith(f.key, L"exif:/")) << f.label;
    EXPECT_FALSE(f.editable);
    EXPECT_FALSE(f.removable);
  }
}

TEST(WalkTest, TiffResolutionIsTechnicalAndUtf16OnlyOutsideExif) {
  std::string word = std::string("W\0", 2);
  auto exif = R("exif", {{"{ushort=40092}", Bytes(img::kVtVector | img::kVtUI1, "ab")}});
  auto ifd = R("ifd", {{"{ushort=282}", PropValue::UI8(Pair(300, 1))},
                       {"{ushort=273}", Vec(img::kVtUI4, {8})},
                       {"{ushort=40094}", Bytes(img::kVtVector | img::kVtUI1, word)},
                       {"{ushort=34665}", PropValue::Reader(exif)}});
  auto root = R("tiff", {{"ifd", PropValue::Reader(ifd)}});
  MetaDoc doc;
  Walk(root.get(), L"", &doc, L"", true, 0);
  ASSERT_EQ(doc.fields.size(), 4u);
  EXPECT_EQ(doc.fields[0].key, L"/ifd/{ushort=282}");
  EXPECT_EQ(doc.fields[0].group, L"Technical");
  EXPECT_EQ(doc.fields[0].label, L"Horizontal resolution");
  EXPECT_FALSE(doc.fields[0].removable);
  EXPECT_EQ(doc.fields[1].group, L"Technical");
  EXPECT_EQ(doc.fields[2].value, L"W");
  EXPECT_EQ(doc.fields[2].varType, kVtUtf16Bytes);
  EXPECT_EQ(doc.fields[3].key, L"/ifd/exif/{ushort=40092}");
  EXPECT_EQ(doc.fields[3].value, L"97 98");  // inside EXIF it is plain bytes
}

TEST(WalkTest, Utf16TextOutsideTheBasicPlane) {
  // "A", U+1F600 as a surrogate pair, then the terminator.
  std::string bytes = std::string("A\0\x3D\xD8\x00\xDE\0\0", 8);
  auto ifd = R("ifd", {{"{ushort=40095}", Bytes(img::kVtVector | img::kVtUI1, bytes)}});
  auto root = R("tiff", {{"ifd", PropValue::Reader(ifd)}});
  MetaDoc doc;
  Walk(root.get(), L"", &doc, L"", true, 0);
  ASSERT_EQ(doc.fields.size(), 1u);
  EXPECT_EQ(ToUtf8(doc.fields[0].value), "A\xF0\x9F\x98\x80");
}

TEST(WalkTest, ThirteenLevelsDeepIsNotWalked) {
  auto chain = [](int levels) {
    std::shared_ptr<const MetadataReader> r = R("leaf", {{"v", PropValue::UI2(1)}});
    for (int i = 0; i < levels; ++i) r = R("n", {{"n", PropValue::Reader(r)}});
    return r;
  };
  MetaDoc shallow, deep;
  // The leaf's reader sits at depth 12: walked.
  Walk(chain(12).get(), L"", &shallow, L"", true, 0);
  EXPECT_EQ(shallow.fields.size(), 1u);
  // One more level puts it at depth 13: not walked.
  Walk(chain(13).get(), L"", &deep, L"", true, 0);
  EXPECT_TRUE(deep.fields.empty());
  MetaDoc none;
  Walk(nullptr, L"", &none, L"", true, 0);
  EXPECT_TRUE(none.fields.empty());
}

TEST(WalkTest, LongReadersAreWalkedInOnePass) {
  // An XMP array can hold 100000 items; listing it must not look every item
  // up again by name.
  std::vector<MetaItem> items;
  for (int i = 0; i < 100000; ++i) {
    items.push_back({"{ulong=" + std::to_string(i) + "}", PropValue::Lpwstr(L"k")});
  }
  auto bag = R("xmpbag", std::move(items));
  auto xmp = R("xmp", {{"dc:subject", PropValue::Reader(bag)}});
  auto root = R("jpeg", {{"xmp", PropValue::Reader(xmp)}});
  MetaDoc doc;
  Walk(root.get(), L"", &doc, L"", true, 0);
  ASSERT_EQ(doc.fields.size(), 100000u);
  EXPECT_EQ(doc.fields.back().key, L"/xmp/dc:subject/{ulong=99999}");
  EXPECT_EQ(doc.fields.back().label, L"dc:subject / {ulong=99999}");
}

TEST(AddInfoTest, FileFact) {
  MetaDoc doc;
  AddInfo(&doc, L"Name", L"a.jpg");
  ASSERT_EQ(doc.fields.size(), 1u);
  const MetaField& f = doc.fields[0];
  EXPECT_EQ(f.key, L"file:Name");
  EXPECT_EQ(f.group, L"File");
  EXPECT_EQ(f.label, L"Name");
  EXPECT_EQ(f.value, L"a.jpg");
  EXPECT_EQ(f.loadedValue, L"a.jpg");
  EXPECT_EQ(f.varType, 0);
  EXPECT_EQ(f.blockIndex, -1);
  EXPECT_FALSE(f.editable || f.removable || f.renamable);
}

}  // namespace
