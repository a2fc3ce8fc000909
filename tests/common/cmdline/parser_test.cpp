#include "cmdline/parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::wstring>;

bool Parse(cmdline::parser& parser, Strings arguments) {
  arguments.insert(arguments.begin(), L"C:\\bin\\tool.exe");
  std::vector<const wchar_t*> argv;
  for (const std::wstring& argument : arguments) argv.push_back(argument.c_str());
  return parser.parse(static_cast<int>(argv.size()), argv.data());
}

void AddSampleOptions(cmdline::parser& parser) {
  ASSERT_TRUE(parser.add<std::wstring>(L"name", L'n', L"", false, L"default"));
  ASSERT_TRUE(parser.add<int>(L"count", L'c', L"", false, 5));
  ASSERT_TRUE(parser.add<bool>(L"enabled", L'e', L"", false, false));
  ASSERT_TRUE(parser.add_flag(L"verbose", L'v', L""));
  ASSERT_TRUE(parser.add_flag(L"quiet", L'q', L""));
}

struct ParseCase {
  Strings arguments = {};
  Strings errors = {};
  std::optional<std::wstring> name = {};  // set: expected given with this value
  std::optional<int> count = {};
  std::optional<bool> enabled = {};
  bool verbose = false;
  bool quiet = false;
  Strings rest = {};
};

class ParserCaseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParserCaseTest, ParsesAsExpected) {
  const ParseCase& c = GetParam();
  cmdline::parser parser;
  ASSERT_NO_FATAL_FAILURE(AddSampleOptions(parser));
  EXPECT_EQ(Parse(parser, c.arguments), c.errors.empty());
  EXPECT_EQ(parser.errors(), c.errors);
  EXPECT_EQ(parser.rest(), c.rest);
  EXPECT_EQ(parser.is_given(L"name"), c.name.has_value());
  EXPECT_EQ(parser.get<std::wstring>(L"name"), c.name.value_or(L"default"));
  EXPECT_EQ(parser.is_given(L"count"), c.count.has_value());
  EXPECT_EQ(parser.get<int>(L"count"), c.count.value_or(5));
  EXPECT_EQ(parser.is_given(L"enabled"), c.enabled.has_value());
  EXPECT_EQ(parser.get<bool>(L"enabled"), c.enabled.value_or(false));
  EXPECT_EQ(parser.is_given(L"verbose"), c.verbose);
  EXPECT_EQ(parser.is_given(L"quiet"), c.quiet);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParserCaseTest,
    testing::Values(
        ParseCase{{L"--name=value"}, {}, L"value"}, ParseCase{{L"--name", L"value"}, {}, L"value"},
        ParseCase{{L"--name="}, {}, L""}, ParseCase{{L"--name=a=b"}, {}, L"a=b"},
        ParseCase{{L"--name", L"--verbose"}, {}, L"--verbose"},
        ParseCase{{L"--name"}, {L"option needs value: --name"}},
        ParseCase{{L"--verbose=1"}, {L"option value is invalid: --verbose=1"}},
        ParseCase{{L"--"}, {L"undefined option: --"}},
        ParseCase{{L"--unknown", L"x"},
                  {L"undefined option: --unknown"},
                  {},
                  {},
                  {},
                  false,
                  false,
                  {L"x"}},
        ParseCase{{L"--unknown=3"}, {L"undefined option: --unknown"}}, ParseCase{{L"-"}, {}},
        ParseCase{{L"first", L"-", L"second"}, {}, {}, {}, {}, false, false, {L"first", L"second"}},
        ParseCase{{L"-x"}, {L"undefined short option: -x"}},
        ParseCase{{L"-vxq"}, {L"undefined short option: -x"}, {}, {}, {}, true, true},
        ParseCase{{L"-vq"}, {}, {}, {}, {}, true, true},
        ParseCase{{L"-vcq"}, {L"option needs value: --count"}, {}, {}, {}, true, true},
        ParseCase{{L"-vc", L"9"}, {}, {}, 9, {}, true},
        ParseCase{{L"-vc"}, {L"option needs value: --count"}, {}, {}, {}, true},
        ParseCase{{L"-qn", L"x", L"y"}, {}, L"x", {}, {}, false, true, {L"y"}},
        ParseCase{{L"--count=12"}, {}, {}, 12}, ParseCase{{L"--count= 12"}, {}, {}, 12},
        ParseCase{{L"--count=-7"}, {}, {}, -7},
        ParseCase{{L"--count=2147483647"}, {}, {}, 2147483647},
        ParseCase{{L"--count=12 "}, {L"option value is invalid: --count=12 "}},
        ParseCase{{L"--count=0x10"}, {L"option value is invalid: --count=0x10"}},
        ParseCase{{L"--count=2147483648"}, {L"option value is invalid: --count=2147483648"}},
        ParseCase{{L"--count="}, {L"option value is invalid: --count="}},
        ParseCase{{L"--count=1.5"}, {L"option value is invalid: --count=1.5"}},
        ParseCase{{L"--enabled=1"}, {}, {}, {}, true},
        ParseCase{{L"--enabled=0"}, {}, {}, {}, false},
        ParseCase{{L"--enabled", L"1"}, {}, {}, {}, true},
        ParseCase{{L"--enabled=true"}, {L"option value is invalid: --enabled=true"}},
        ParseCase{{L"--enabled=2"}, {L"option value is invalid: --enabled=2"}},
        ParseCase{{L"--name=a", L"--name=b"}, {}, L"b"}));

TEST(ParserTest, NeedsAtLeastTheProgramPath) {
  cmdline::parser parser;
  EXPECT_FALSE(parser.parse(0, nullptr));
  EXPECT_EQ(parser.errors(), Strings{L"argument number must be longer than 0"});
}

TEST(ParserTest, SharedShortNameStopsBeforeAnyArgument) {
  cmdline::parser parser;
  ASSERT_TRUE(parser.add<std::wstring>(L"alpha", L'a', L"", false, L""));
  ASSERT_TRUE(parser.add_flag(L"another", L'a', L""));
  EXPECT_FALSE(Parse(parser, {L"--alpha=x", L"--bogus"}));
  EXPECT_EQ(parser.errors(), Strings{L"short option 'a' is ambiguous"});
  EXPECT_FALSE(parser.is_given(L"alpha"));
}

TEST(ParserTest, ReportsMissingRequiredOptionsInNameOrderAndKeepsGivenValues) {
  cmdline::parser parser;
  ASSERT_TRUE(parser.add<std::wstring>(L"zeta", 0, L"", true, L""));
  ASSERT_TRUE(parser.add<int>(L"beta", 0, L"", true, 0));
  ASSERT_TRUE(parser.add<std::wstring>(L"alpha", 0, L"", true, L""));
  ASSERT_TRUE(parser.add<bool>(L"gamma", 0, L"", true, false));
  EXPECT_FALSE(Parse(parser, {L"--gamma=1"}));
  EXPECT_EQ(parser.errors(),
            (Strings{L"need option: --alpha", L"need option: --beta", L"need option: --zeta"}));
  EXPECT_EQ(parser.get<bool>(L"gamma"), true);
}

TEST(ParserTest, KeepsGivenMarksAndValuesAcrossParses) {
  cmdline::parser parser;
  ASSERT_NO_FATAL_FAILURE(AddSampleOptions(parser));
  EXPECT_TRUE(Parse(parser, {L"--count=3", L"-v", L"left"}));
  EXPECT_TRUE(Parse(parser, {L"--name=x"}));
  EXPECT_TRUE(parser.is_given(L"count"));
  EXPECT_TRUE(parser.is_given(L"verbose"));
  EXPECT_EQ(parser.get<int>(L"count"), 3);
  EXPECT_TRUE(parser.rest().empty());

  EXPECT_FALSE(Parse(parser, {L"--count=bad"}));
  EXPECT_EQ(parser.get<int>(L"count"), 3);  // a failed read changes nothing
}

TEST(ParserTest, RegistersEachNameOnceAndTypesItsValue) {
  cmdline::parser parser;
  EXPECT_TRUE(parser.add<int>(L"count", 0, L"", false, 1));
  EXPECT_FALSE(parser.add<std::wstring>(L"count", 0, L"", false, L""));
  EXPECT_FALSE(parser.add_flag(L"count", 0, L""));
  EXPECT_TRUE(parser.add_flag(L"flag", 0, L""));
  EXPECT_EQ(parser.get<int>(L"count"), 1);
  EXPECT_EQ(parser.get<std::wstring>(L"count"), std::nullopt);
  EXPECT_EQ(parser.get<int>(L"flag"), std::nullopt);
  EXPECT_EQ(parser.get<int>(L"unknown"), std::nullopt);
  EXPECT_FALSE(parser.is_given(L"unknown"));
}

TEST(ParserTest, UsageListsOptionsInRegistrationOrderWithTypeAndDefault) {
  cmdline::parser parser;
  ASSERT_TRUE(parser.add<int>(L"count", 0, L"how many", false, 5));
  ASSERT_TRUE(parser.add<std::wstring>(L"name", 0, L"who", true, L""));
  ASSERT_TRUE(parser.add_flag(L"verbose", 0, L"talk"));
  EXPECT_EQ(parser.usage(),
            L"--count=int  how many (int [=5])\n"
            L"--name=string  who (string)\n"
            L"--verbose  talk\n");
}

}  // namespace
