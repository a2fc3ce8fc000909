#include "launcher/launch_records.h"

#include <gtest/gtest.h>

#include "json_record_keys.h"

namespace {

using nlohmann::json;
using test_support::CheckRecordKeys;
using K = test_support::JsonKind;

constexpr bool kRequired = true;
constexpr bool kOptional = false;
constexpr bool kBooleansAsNumbers = true;

const json kOpenFile = {{"file_path", "C:\\a.txt"}, {"mime_type", "text/plain"}};
const json kOwnerWindow = {{"owner_win_handle", 18446744073709551615u},
                           {"owner_dpi", 1.25},
                           {"owner_x", -1},
                           {"owner_y", 2},
                           {"owner_cx", 3},
                           {"owner_cy", 4}};
const json kStepCounter = {{"step", 2}, {"time", 1733500000000u}};
const json kLinkInfo = {{"session_id", "s"},
                        {"install_from", "w"},
                        {"pkg_name", "com.b"},
                        {"step_counter", kStepCounter}};

TEST(LaunchRecordsTest, EveryRecordKeepsTheKeysItsPeersRead) {
  CheckRecordKeys(AppLaunchInfo{}, {
                                       {"pkg_name", K::kString, kRequired},
                                       {"rotation", K::kUint32, kOptional, kBooleansAsNumbers},
                                       {"source", K::kInt32, kOptional},
                                       {"deep_link", K::kString, kOptional},
                                       {"from_source", K::kString, kOptional},
                                       {"app_category", K::kUint32, kOptional, kBooleansAsNumbers},
                                       {"orientation", K::kInt32, kOptional},
                                       {"display_id", K::kUint32, kOptional, kBooleansAsNumbers},
                                       {"extra_data", K::kAny, kOptional},
                                       {"hash_code", K::kUint32, kOptional, kBooleansAsNumbers},
                                       {"app_name", K::kString, kOptional},
                                       {"from_pkg_name", K::kString, kOptional},
                                       {"notification_id", K::kString, kOptional},
                                       {"show_keymap_sidebar", K::kBool, kOptional},
                                       {"keymap_sidebar_url", K::kString, kOptional},
                                       {"is_redirect_url", K::kBool, kOptional},
                                       {"open_file", K::kRecord, kOptional, false, kOpenFile},
                                       {"mbrix_desktop_link_onclose", K::kBool, kOptional},
                                       {"qb_param", K::kRecord, kOptional, false, kOwnerWindow},
                                       {"app_pullup_type", K::kInt32, kOptional},
                                       {"oem_product", K::kString, kOptional},
                                       {"specific_behavior", K::kString, kOptional},
                                       {"launch_tv_series", K::kString, kOptional},
                                       {"app_inner_shortcut", K::kString, kOptional},
                                       {"report_info", K::kString, kOptional},
                                       {"action_type", K::kString, kOptional},
                                       {"update_type", K::kString, kOptional},
                                       {"window_config", K::kString, kOptional},
                                   });
  CheckRecordKeys(OpenFileInfo{},
                  {{"file_path", K::kString, kRequired}, {"mime_type", K::kString, kRequired}});
  CheckRecordKeys(OwnerWindowInfo{}, {
                                         {"owner_win_handle", K::kUint64, kRequired},
                                         {"owner_dpi", K::kFloat, kRequired, kBooleansAsNumbers},
                                         {"owner_x", K::kInt32, kRequired, kBooleansAsNumbers},
                                         {"owner_y", K::kInt32, kRequired, kBooleansAsNumbers},
                                         {"owner_cx", K::kInt32, kRequired, kBooleansAsNumbers},
                                         {"owner_cy", K::kInt32, kRequired, kBooleansAsNumbers},
                                     });
  CheckRecordKeys(InstallAppInfo{},
                  {
                      {"pkg_name", K::kString, kRequired},
                      {"version_code", K::kString, kOptional},
                      {"version_name", K::kString, kOptional},
                      {"icon", K::kString, kRequired},
                      {"name", K::kString, kRequired},
                      {"md5", K::kString, kOptional},
                      {"engine_name", K::kString, kRequired},
                      {"file_path", K::kString, kRequired},
                      {"json_data", K::kString, kOptional},
                      {"state", K::kInt32, kOptional},
                      {"from_source", K::kString, kOptional},
                      {"oem", K::kString, kOptional},
                      {"shield_shortcut", K::kInt32, kOptional, kBooleansAsNumbers},
                      {"link_info", K::kRecord, kOptional, false, kLinkInfo},
                      {"action_type", K::kString, kOptional},
                      {"update_type", K::kString, kOptional},
                  });
  CheckRecordKeys(LinkInfo{}, {
                                  {"session_id", K::kString, kRequired},
                                  {"install_from", K::kString, kRequired},
                                  {"pkg_name", K::kString, kRequired},
                                  {"step_counter", K::kRecord, kOptional, false, kStepCounter},
                              });
  CheckRecordKeys(StepCounter{}, {{"step", K::kInt32, kRequired, kBooleansAsNumbers},
                                  {"time", K::kUint64, kRequired}});
  CheckRecordKeys(StartVMInfo{}, {{"oem_name", K::kString, kRequired}});
  CheckRecordKeys(StopVMInfo{}, {{"oem_name", K::kString, kRequired}});
}

TEST(LaunchRecordsTest, FreshRecordsWriteTheirPlainFieldsAndTwoPresentZeros) {
  EXPECT_EQ(json(AppLaunchInfo{}).dump(), R"({"pkg_name":"","rotation":0})");
  EXPECT_EQ(json(InstallAppInfo{}).dump(),
            R"({"engine_name":"","file_path":"","icon":"","name":"","pkg_name":"","state":0})");
  EXPECT_EQ(json(StoreActivateInfo{}).dump(), R"({"cmd_show":0})");
  EXPECT_EQ(json(StoreActivateInfo{0, -3}).dump(), R"({"cmd_show":0,"source":-3})");
  EXPECT_EQ(json(LinkContent{"kestova://x"}).dump(), R"({"content":"kestova://x"})");
}

TEST(LaunchRecordsTest, InvalidUtf8FailsOnlyWhenTheTextIsMade) {
  AppLaunchInfo launch;
  launch.launch_tv_series = "bad \xFF text";
  json object;
  ASSERT_NO_THROW(object = launch);
  EXPECT_THROW(object.dump(), json::type_error);
}

// A number with a fraction or exponent is truncated into an integer field;
// one the field's type cannot hold is refused rather than converted at random.
TEST(LaunchRecordsTest, FractionalNumbersAreTruncatedOrRefusedWhenOutOfRange) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> source;  // empty: the text is refused
  };
  const Case cases[] = {
      {R"({"pkg_name":"a","source":3.9})", 3},
      {R"({"pkg_name":"a","source":-2147483648.7})", -2147483648},
      {R"({"pkg_name":"a","source":2147483647.5})", 2147483647},
      // "source" is read as a 64-bit number and narrowed like an integer.
      {R"({"pkg_name":"a","source":4294967298.5})", 2},
      {R"({"pkg_name":"a","source":9.3e18})", std::nullopt},
      {R"({"pkg_name":"a","source":-1e30})", std::nullopt},
      {R"({"pkg_name":"a","rotation":-0.5})", 0},
      {R"({"pkg_name":"a","rotation":-1.5})", std::nullopt},
      {R"({"pkg_name":"a","rotation":4294967296.0})", std::nullopt},
  };
  for (const Case& c : cases) {
    const json text = ParseRecordText(c.text);
    if (!c.source) {
      EXPECT_THROW(text.get<AppLaunchInfo>(), json::type_error) << c.text;
      continue;
    }
    const AppLaunchInfo launch = text.get<AppLaunchInfo>();
    EXPECT_EQ(launch.source ? *launch.source : static_cast<std::int64_t>(*launch.rotation),
              *c.source)
        << c.text;
  }
  json owner = kOwnerWindow;
  owner["owner_dpi"] = 1e300;
  EXPECT_THROW(owner.get<OwnerWindowInfo>(), json::type_error);
  owner["owner_dpi"] = 1e30;
  EXPECT_FLOAT_EQ(owner.get<OwnerWindowInfo>().owner_dpi, 1e30f);
}

std::string Nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(LaunchRecordsTest, OptionTextNestedDeeperThanAnyRecordIsAParseError) {
  EXPECT_EQ(ParseRecordText(Nested(512)).dump(), Nested(512));
  EXPECT_THROW(ParseRecordText(Nested(513)), json::parse_error);
  // Deep enough to overflow the stack when copied, and short enough for a
  // command line.
  EXPECT_THROW(ParseRecordText(R"({"pkg_name":"a","extra_data":)" + Nested(12000) + "}"),
               json::parse_error);
  EXPECT_THROW(ParseRecordText("{"), json::parse_error);
}

}  // namespace
