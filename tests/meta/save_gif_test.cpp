// The GIF comment rewrite: the comment extension's sub-blocks, where added,
// edited, cleared and removed comments end up, every other block kept byte
// for byte, and the check that only comments changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

struct Parsed {
  std::vector<meta::GifBlock> blocks;
  std::uint64_t first = 0, trailer = 0;
};

Parsed Parse(const Bytes& gif) {
  Parsed p;
  EXPECT_TRUE(meta::ParseGif(gif, &p.blocks, &p.first, &p.trailer));
  return p;
}

Bytes Block(const Bytes& gif, const meta::GifBlock& b) {
  return Bytes(gif.begin() + static_cast<std::ptrdiff_t>(b.offset),
               gif.begin() + static_cast<std::ptrdiff_t>(b.end));
}

// The fixture with comment extensions put in front of its first block, and
// bytes after its trailer.
Bytes WithComments(const std::string& fixture, const std::vector<std::wstring>& comments,
                   const Bytes& after = {}) {
  const Bytes base = ReadBytes(Fixture(fixture));
  const Parsed p = Parse(base);
  Bytes out(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(p.first));
  for (const std::wstring& c : comments) PutGifComment(&out, c);
  out.insert(out.end(), base.begin() + static_cast<std::ptrdiff_t>(p.first), base.end());
  out.insert(out.end(), after.begin(), after.end());
  return out;
}

TEST(PutGifComment, SubBlocks) {
  struct Case {
    std::wstring text;
    std::vector<std::size_t> subBlocks;
  };
  const std::vector<Case> cases = {
      {std::wstring(600, L'c'), {255, 255, 90}},
      {std::wstring(255, L'c'), {255}},
      {std::wstring(256, L'c'), {255, 1}},
      {L"", {}},
      {L"\u00E9\U0001F600", {6}},  // two bytes and four in UTF-8
  };
  for (const Case& c : cases) {
    Bytes out;
    PutGifComment(&out, c.text);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0], 0x21);
    EXPECT_EQ(out[1], 0xFE);
    EXPECT_EQ(out.back(), 0x00);
    std::vector<std::size_t> lengths;
    std::string joined;
    for (std::size_t at = 2; at + 1 < out.size();) {
      lengths.push_back(out[at]);
      joined.append(out.begin() + static_cast<std::ptrdiff_t>(at + 1),
                    out.begin() + static_cast<std::ptrdiff_t>(at + 1 + out[at]));
      at += 1 + out[at];
    }
    EXPECT_EQ(lengths, c.subBlocks) << c.text.size();
    EXPECT_EQ(joined, ToUtf8(c.text));
  }
}

struct Loaded {
  std::wstring path;
  MetaDoc doc;
};

Loaded Load(const std::string& test, const Bytes& gif) {
  Loaded l;
  l.path = ScratchDir("meta_save_gif_" + test) + L"/picture.gif";
  WriteBytes(l.path, gif);
  EXPECT_TRUE(meta_load(l.path, &l.doc));
  EXPECT_TRUE(l.doc.editable);
  return l;
}

std::vector<MetaField*> Comments(MetaDoc* doc) {
  std::vector<MetaField*> out;
  for (MetaField& f : doc->fields) {
    if (StartsWith(f.key, L"gif:")) out.push_back(&f);
  }
  return out;
}

std::vector<std::string> CommentTexts(const Bytes& gif) {
  std::vector<std::string> out;
  for (const meta::GifBlock& b : Parse(gif).blocks) {
    if (b.isComment) out.push_back(b.text);
  }
  return out;
}

TEST(SaveGif, CommentsEndUpWhereTheyBelong) {
  const Bytes after = {'t', 'a', 'i', 'l'};
  struct Case {
    const char* name;
    std::vector<std::wstring> comments;  // in the file before
    void (*edit)(MetaDoc*);
    std::vector<std::string> expected;  // comment texts afterwards, in file order
    bool firstBlockIsNewComment;
  };
  const std::vector<Case> cases = {
      {"two added before the first block",
       {},
       [](MetaDoc* d) {
         ASSERT_GE(meta_add(d, kGifPresets[0]), 0);
         d->fields.back().value = L"first";
         ASSERT_GE(meta_add(d, kGifPresets[0]), 0);
         d->fields.back().value = L"second \u00E9";
         ASSERT_GE(meta_add(d, kGifPresets[0]), 0);  // empty: not written
       },
       {"first", "second \xC3\xA9"},
       true},
      {"second of two edited in place",
       {L"one", L"two"},
       [](MetaDoc* d) { Comments(d)[1]->value = L"two, longer"; },
       {"one", "two, longer"},
       false},
      {"cleared text removes the comment",
       {L"one", L"two"},
       [](MetaDoc* d) { Comments(d)[0]->value.clear(); },
       {"two"},
       false},
      {"marked removed",
       {L"one", L"two"},
       [](MetaDoc* d) { Comments(d)[1]->removed = true; },
       {"one"},
       false},
      {"long comment",
       {L"x"},
       [](MetaDoc* d) { Comments(d)[0]->value = std::wstring(600, L'y'); },
       {std::string(600, 'y')},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes before = WithComments("gif_anim.gif", c.comments, after);
    Loaded l = Load(c.name, before);
    c.edit(&l.doc);
    wchar_t err[512] = {};
    ASSERT_TRUE(meta_save(l.doc, err, 512)) << platform::WideToUtf8(err);
    const Bytes saved = ReadBytes(l.path);
    // The fixture's own comment, near its end, stays as it was.
    std::vector<std::string> expected = c.expected;
    expected.push_back("made for norvane");
    EXPECT_EQ(CommentTexts(saved), expected);
    EXPECT_TRUE(SameGif(before, saved));
    // Every block that is not a comment, the header and the tail are as
    // they were.
    const Parsed pb = Parse(before), ps = Parse(saved);
    EXPECT_EQ(ps.first, pb.first);
    std::vector<Bytes> kept, now;
    for (const auto& b : pb.blocks) {
      if (!b.isComment) kept.push_back(Block(before, b));
    }
    for (const auto& b : ps.blocks) {
      if (!b.isComment) now.push_back(Block(saved, b));
    }
    EXPECT_EQ(now, kept);
    EXPECT_EQ(Bytes(saved.end() - 5, saved.end()), (Bytes{0x3B, 't', 'a', 'i', 'l'}));
    if (c.firstBlockIsNewComment) {
      ASSERT_FALSE(ps.blocks.empty());
      EXPECT_TRUE(ps.blocks[0].isComment);
    }
    // An untouched comment stays byte for byte where it was.
    if (c.comments.size() == 2 && c.expected.size() == 2) {
      EXPECT_EQ(Block(saved, ps.blocks[0]), Block(before, pb.blocks[0]));
    }
  }
}

TEST(SaveGif, UnusualStructure) {
  MetaDoc doc;
  doc.format = L"GIF";
  doc.bytes = ReadBytes(Fixture("gif_single.gif"));
  doc.bytes.pop_back();  // no trailer
  Bytes out;
  std::wstring err;
  EXPECT_FALSE(SaveGif(doc, &out, &err));
  EXPECT_EQ(err, L"This GIF file has an unusual structure and can't be rewritten safely.");
}

TEST(SameGif, OnlyCommentsMayDiffer) {
  const Bytes a = WithComments("gif_anim.gif", {L"c"});
  const Parsed p = Parse(a);
  ASSERT_GE(p.blocks.size(), 3u);
  const meta::GifBlock& picture = p.blocks.back();
  struct Case {
    const char* name;
    Bytes b;
    bool same;
  };
  Bytes changedBlock = a;
  changedBlock[static_cast<std::size_t>(picture.end) - 2] ^= 0x01;
  Bytes changedHeader = a;
  changedHeader[8] ^= 0x01;  // logical screen height
  Bytes changedTail = a;
  changedTail.push_back(0);
  Bytes noTrailer = a;
  noTrailer.pop_back();
  const std::vector<Case> cases = {
      {"comment changed", WithComments("gif_anim.gif", {L"other"}), true},
      {"comment gone", ReadBytes(Fixture("gif_anim.gif")), true},
      {"a picture block changed", changedBlock, false},
      {"the header changed", changedHeader, false},
      {"bytes after the trailer", changedTail, false},
      {"no trailer", noTrailer, false},
  };
  for (const Case& c : cases) EXPECT_EQ(SameGif(a, c.b), c.same) << c.name;
}

}  // namespace
