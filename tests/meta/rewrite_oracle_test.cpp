#ifndef _WIN32
#include <gtest/gtest.h>
#include <cstdio>
#include "meta/meta_internal.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"
TEST(RewriteOracleDump, Fields) {
  for (const char* n : {"meta_full.png", "png_palette_trns.png", "webp_meta.webp", "gif_anim.gif", "tiff_multipage.tif"}) {
    MetaDoc doc;
    doc.bytes = testing_support::ReadBytes(testing_support::Fixture(n));
    ParseBytes(&doc);
    std::printf("== %s %s editable=%d\n", n, platform::WideToUtf8(doc.format).c_str(), doc.editable);
    for (const MetaField& f : doc.fields) {
      std::printf("%s | %s | %s | rem=%d\n", platform::WideToUtf8(f.key).c_str(), platform::WideToUtf8(f.label).c_str(), platform::WideToUtf8(f.value).substr(0,40).c_str(), f.removable);
    }
  }
}
#endif
