#include "link_text.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlEncodeTest, KeepsLettersAndDigitsTurnsBlanksToPlusAndEscapesEveryOtherByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"AZaz09", "AZaz09"},
      {"D:\\a b\\x.apk", "D%3A%5Ca+b%5Cx%2Eapk"},
      {" \t\n\v\f\r", "++++++"},
      {"-_.~/?&=%", "%2D%5F%2E%7E%2F%3F%26%3D%25"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {std::string("a\0b", 3), "a%00b"},
  };
  for (const auto& [text, encoded] : cases) EXPECT_EQ(UrlEncode(text), encoded) << text;
}

TEST(PathExtensionTest, FollowsTheShellsRule) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\Users\\u\\Downloads\\game.xapk", L".xapk"},
      {L"C:/Users/u/game.tar.gz", L".gz"},
      {L"C:\\dir.d\\noext", L""},
      {L"C:\\dir\\.hidden", L""},
      {L"C:\\dir\\..x", L".x"},
      {L"C:\\dir\\name.", L"."},
      {L"C:\\dir\\..", L""},
      {L"C:\\dir\\.", L""},
      {L"C:\\dir\\x", L""},
      {L"C:\\dir\\", L""},
      {L"C:game.apk", L".apk"},
      {L"C:\\dir\\file.apk:stream.txt", L".apk"},
      {L"C:\\dir\\file:stream.apk", L""},
      {L"", L""},
  };
  for (const auto& [path, extension] : cases) EXPECT_EQ(PathExtension(path), extension) << path;
}

TEST(IsBareFileNameTest, RefusesWhatLeavesTheFolder) {
  for (const wchar_t* name : {L"", L"Kestova.exe", L"x", L"a b.exe", L"...", L".x"}) {
    EXPECT_TRUE(IsBareFileName(name)) << name;
  }
  for (const wchar_t* name :
       {L"..\\x.exe", L"../x.exe", L"C:\\x.exe", L"C:x.exe", L"\\\\host\\share\\x.exe",
        L"x.exe:stream", L"sub\\x.exe", L".", L".."}) {
    EXPECT_FALSE(IsBareFileName(name)) << name;
  }
}

}  // namespace
