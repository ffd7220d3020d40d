// The association table and every string the registry code writes.
#include <gtest/gtest.h>

#include <string>

#include "assoc/assoc.h"
#include "assoc/assoc_text.h"

namespace {

using namespace assoc;

// The uninstall command, written out whole, for an ordinary program name.
const wchar_t kScriptForNorvaneExe[] =
    LR"x(cmd.exe /c "(for %e in (png jpg jpeg jfif bmp dib gif tif tiff ico webp heic heif avif))x"
    LR"x( do @(reg delete "HKCU\Software\Classes\Norvane.%e" /f & reg delete)x"
    LR"x( "HKCU\Software\Classes\.%e\OpenWithProgids" /v Norvane.%e /f)))x"
    LR"x( & reg delete "HKCU\Software\Classes\Applications\norvane.exe" /f)x"
    LR"x( & reg delete "HKCU\Software\Norvane" /f)x"
    LR"x( & reg delete "HKCU\Software\RegisteredApplications" /v "Norvane" /f)x"
    LR"x( & reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Norvane" /f >nul 2>&1")x";

// The same command when the program's name holds a '%': no application entry.
const wchar_t kScriptWithoutAppKey[] =
    LR"x(cmd.exe /c "(for %e in (png jpg jpeg jfif bmp dib gif tif tiff ico webp heic heif avif))x"
    LR"x( do @(reg delete "HKCU\Software\Classes\Norvane.%e" /f & reg delete)x"
    LR"x( "HKCU\Software\Classes\.%e\OpenWithProgids" /v Norvane.%e /f)))x"
    LR"x( & reg delete "HKCU\Software\Norvane" /f)x"
    LR"x( & reg delete "HKCU\Software\RegisteredApplications" /v "Norvane" /f)x"
    LR"x( & reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Norvane" /f >nul 2>&1")x";

TEST(AssocText, TableHoldsTheFourteenTypesInOrder) {
  struct Row {
    const wchar_t* ext;
    const wchar_t* description;
  };
  const Row expected[] = {
      {L".png", L"PNG image"},   {L".jpg", L"JPEG image"},   {L".jpeg", L"JPEG image"},
      {L".jfif", L"JPEG image"}, {L".bmp", L"Bitmap image"}, {L".dib", L"Bitmap image"},
      {L".gif", L"GIF image"},   {L".tif", L"TIFF image"},   {L".tiff", L"TIFF image"},
      {L".ico", L"Icon"},        {L".webp", L"WebP image"},  {L".heic", L"HEIC image"},
      {L".heif", L"HEIF image"}, {L".avif", L"AVIF image"},
  };
  ASSERT_EQ(g_assocTypeCount, 14);
  for (int i = 0; i < g_assocTypeCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::wstring(g_assocTypes[i].ext), expected[i].ext);
    EXPECT_EQ(std::wstring(g_assocTypes[i].description), expected[i].description);
  }
}

TEST(AssocText, RemovalScriptForAnOrdinaryName) {
  EXPECT_EQ(RemovalScript(L"norvane.exe"), kScriptForNorvaneExe);
}

TEST(AssocText, RemovalScriptLeavesOutANameWithAPercentSign) {
  EXPECT_EQ(RemovalScript(L"norvane%PATH%.exe"), kScriptWithoutAppKey);
  EXPECT_EQ(RemovalScript(L"%"), kScriptWithoutAppKey);
  // Spaces and other punctuation are passed on inside the quotation marks.
  const std::wstring spaced = RemovalScript(L"My Viewer (2).exe");
  EXPECT_NE(spaced.find(
                LR"x( & reg delete "HKCU\Software\Classes\Applications\My Viewer (2).exe" /f & )x"),
            std::wstring::npos);
}

TEST(AssocText, CommandAndIconQuoteAPathWithSpaces) {
  const std::wstring exe = L"C:\\Program Files\\Picture Tools\\norvane.exe";
  EXPECT_EQ(CommandFor(exe), L"\"C:\\Program Files\\Picture Tools\\norvane.exe\" \"%1\"");
  EXPECT_EQ(IconFor(exe), L"\"C:\\Program Files\\Picture Tools\\norvane.exe\",0");
}

TEST(AssocText, NamesAndKeyPaths) {
  EXPECT_EQ(ProgId(L".png"), L"Norvane.png");
  EXPECT_EQ(ProgId(L".JPG"), L"Norvane.JPG");
  EXPECT_EQ(ProgIdKey(L"Norvane.png"), L"Software\\Classes\\Norvane.png");
  EXPECT_EQ(DefaultIconKey(L"Norvane.png"), L"Software\\Classes\\Norvane.png\\DefaultIcon");
  EXPECT_EQ(ProgIdCommandKey(L"Norvane.png"),
            L"Software\\Classes\\Norvane.png\\shell\\open\\command");
  EXPECT_EQ(OpenWithProgidsKey(L".png"), L"Software\\Classes\\.png\\OpenWithProgids");
  const std::wstring app = ApplicationKey(L"norvane.exe");
  EXPECT_EQ(app, L"Software\\Classes\\Applications\\norvane.exe");
  EXPECT_EQ(CommandKeyBelow(app),
            L"Software\\Classes\\Applications\\norvane.exe\\shell\\open\\command");
  EXPECT_EQ(SupportedTypesKey(app),
            L"Software\\Classes\\Applications\\norvane.exe\\SupportedTypes");
  EXPECT_EQ(FileAssociationsKey(kCapabilitiesKey),
            L"Software\\Norvane\\Capabilities\\FileAssociations");
}

TEST(AssocText, ExeNamePart) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
  } cases[] = {
      {L"C:\\Tools\\norvane.exe", L"norvane.exe"},
      {L"C:/Tools/Norvane.EXE", L"Norvane.EXE"},
      {L"\\\\server\\share\\dir\\v.exe", L"v.exe"},
      {L"norvane.exe", L"norvane.exe"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExeNamePart(c.path), c.name) << c.path;
}

TEST(AssocText, DescriptionsCompareExtensionsWithoutCase) {
  struct Case {
    const wchar_t* ext;
    const wchar_t* description;
  } cases[] = {
      {L".png", L"PNG image"},  {L".PNG", L"PNG image"},   {L".JfIf", L"JPEG image"},
      {L".ico", L"Icon"},       {L".AVIF", L"AVIF image"}, {L".tiff", L"TIFF image"},
      {L".xyz", L"Image"},      {L"png", L"Image"},  // the dot is part of the name
      {L".pngx", L"Image"},     {L".pn", L"Image"},        {L"", L"Image"},
      {L".\u0130co", L"Image"},  // only ASCII letters fold
  };
  for (const Case& c : cases) EXPECT_EQ(DescriptionFor(c.ext), c.description) << c.ext;
}

TEST(AssocText, InstallDateText) {
  EXPECT_EQ(InstallDateText(2024, 3, 7), L"20240307");
  EXPECT_EQ(InstallDateText(1999, 12, 31), L"19991231");
  EXPECT_EQ(InstallDateText(812, 1, 1), L"08120101");
}

TEST(AssocText, EstimatedSizeRoundsUpTheLow32Bits) {
  struct Case {
    std::uint64_t bytes;
    std::uint32_t kb;
  } cases[] = {
      {0, 0},
      {1, 1},
      {1024, 1},
      {1025, 2},
      {3 * 1024 * 1024 + 5, 3 * 1024 + 1},
      {0x100000000ull + 2048, 2},  // the high half is dropped
      {0xFFFFFC00u, 0x3FFFFF},     // the largest sum that does not wrap
      {0xFFFFFC01u, 0},            // 32-bit wrap, as the entry records it
      {0xFFFFFFFFu, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(EstimatedSizeKb(c.bytes), c.kb) << c.bytes;
}

}  // namespace
