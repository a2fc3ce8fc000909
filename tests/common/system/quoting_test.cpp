#include "system/quoting.h"

#include <gtest/gtest.h>

#include "system/text.h"

namespace {

TEST(QuoteArgumentTest, DoublesBackslashesThenEscapesQuotes) {
  struct Case {
    std::wstring value;
    std::wstring quoted;
  };
  const Case cases[] = {
      {L"abc", LR"("abc" )"},
      {L"", LR"("" )"},
      {LR"(C:\dir)", LR"("C:\\dir" )"},
      {LR"(a"b)", LR"("a\"b" )"},
      {LR"(a\"b)", LR"("a\\\"b" )"},
      {LR"(C:\dir\)", LR"("C:\\dir\\" )"},
      {L"two words", LR"("two words" )"},
      {LR"({"k":"v"})", LR"("{\"k\":\"v\"}" )"},
      {L"caf\u00e9 \U0001F600", L"\"caf\u00e9 \U0001F600\" "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QuoteArgument(std::wstring_view(c.value)), c.quoted) << c.value;
    EXPECT_EQ(QuoteArgument(std::string_view(WideToUtf8(c.value))), c.quoted) << c.value;
  }
}

TEST(ComposeOptionsTest, WritesEntriesInCodeUnitOrder) {
  EXPECT_EQ(ComposeOptions(std::map<std::wstring, std::wstring>{{L"b", L"2"}, {L"a", L"1"}}),
            LR"(--a "1" --b "2" )");
  EXPECT_EQ(ComposeOptions(std::map<std::wstring, std::wstring>{{L"name", L""}}), LR"(--name "" )");
  EXPECT_EQ(ComposeOptions(std::map<std::wstring, std::wstring>{}), L"");
  // Upper case sorts before lower case, and UTF-8 bytes above 0x7F after both.
  EXPECT_EQ(ComposeOptions(std::map<std::string, std::string>{
                {"\xC3\xA9", "x"}, {"a", R"(C:\p)"}, {"B", "y"}}),
            L"--B \"y\" --a \"C:\\\\p\" --\u00e9 \"x\" ");
}

TEST(ReplaceAllTest, NeverSearchesInsertedText) {
  EXPECT_EQ(ReplaceAll(std::string("aaa"), "a", "aa"), "aaaaaa");
  EXPECT_EQ(ReplaceAll(std::wstring(L"x\\y\\"), L"\\", L"\\\\"), L"x\\\\y\\\\");
  EXPECT_EQ(ReplaceAll(std::string("abc"), "", "z"), "abc");
}

TEST(TextConversionTest, RoundTripsAndReplacesInvalidInput) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), L"\U0001F600");
  EXPECT_EQ(WideToUtf8(L"\U0001F600 \u00e9"), "\xF0\x9F\x98\x80 \xC3\xA9");
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(WideToUtf8(std::wstring(L"a\xD800"
                                    L"b")),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

}  // namespace
