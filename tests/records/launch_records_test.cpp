#include "launcher/launch_records.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace {

using nlohmann::json;

std::set<std::string> Keys(const json& object) {
  std::set<std::string> keys;
  for (const auto& item : object.items()) keys.insert(item.key());
  return keys;
}

// What reading one field must do: keep the value (written back with the same
// JSON type) or raise one of the library's errors.
enum class Outcome { kKept, kTypeError, kOutOfRange };

struct FieldCase {
  const char* record;  // which record the field belongs to
  const char* path;    // field key, "outer/inner" for nested ones
  json value;
  Outcome outcome;
  json written = nullptr;  // expected value written back, when kept
};

// A minimal valid object of each record, so one field can be varied at a time.
json MinimalObject(const std::string& record) {
  if (record == "AppLaunchInfo") return {{"pkg_name", "p"}};
  if (record == "InstallAppInfo") {
    return {{"pkg_name", "p"}, {"icon", "i"}, {"name", "n"}, {"engine_name", "e"}, {"file_path", "f"}};
  }
  if (record == "OwnerWindowInfo") {
    return {{"pkg_name", "p"},
            {"qb_param", {{"owner_win_handle", 1}, {"owner_dpi", 1.0}, {"owner_x", 0},
                          {"owner_y", 0}, {"owner_cx", 0}, {"owner_cy", 0}}}};
  }
  if (record == "StepCounter") {
    json object = MinimalObject("InstallAppInfo");
    object["link_info"] = {{"session_id", "s"}, {"install_from", "f"}, {"pkg_name", "p"},
                           {"step_counter", {{"step", 1}, {"time", 2}}}};
    return object;
  }
  return json::object();
}

json::json_pointer Pointer(const FieldCase& c) {
  const std::string record = c.record;
  std::string prefix;
  if (record == "OwnerWindowInfo") prefix = "/qb_param";
  if (record == "StepCounter") prefix = "/link_info/step_counter";
  return json::json_pointer(prefix + "/" + c.path);
}

json RoundTrip(const std::string& record, const json& object) {
  if (record == "InstallAppInfo" || record == "StepCounter") {
    return json(object.get<InstallAppInfo>());
  }
  return json(object.get<AppLaunchInfo>());
}

class FieldTypeTest : public testing::TestWithParam<FieldCase> {};

TEST_P(FieldTypeTest, ReadsOrRefusesTheValue) {
  const FieldCase& c = GetParam();
  json object = MinimalObject(c.record);
  object[Pointer(c)] = c.value;
  switch (c.outcome) {
    case Outcome::kKept: {
      const json written = RoundTrip(c.record, object);
      const json& field = written.at(Pointer(c));
      EXPECT_EQ(field, c.written);
      EXPECT_EQ(field.type(), c.written.type()) << field.dump();
      break;
    }
    case Outcome::kTypeError:
      EXPECT_THROW(RoundTrip(c.record, object), json::type_error);
      break;
    case Outcome::kOutOfRange:
      EXPECT_THROW(RoundTrip(c.record, object), json::out_of_range);
      break;
  }
}

const json kMissingPkg = json::object();

INSTANTIATE_TEST_SUITE_P(
    Values, FieldTypeTest,
    testing::Values(
        // strings accept only strings
        FieldCase{"AppLaunchInfo", "deep_link", "x", Outcome::kKept, "x"},
        FieldCase{"AppLaunchInfo", "deep_link", 5, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "deep_link", nullptr, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "pkg_name", true, Outcome::kTypeError},
        FieldCase{"InstallAppInfo", "version_code", 12, Outcome::kTypeError},
        // int32 fields that refuse booleans
        FieldCase{"AppLaunchInfo", "source", 3, Outcome::kKept, 3},
        FieldCase{"AppLaunchInfo", "source", 2.9, Outcome::kKept, 2},
        FieldCase{"AppLaunchInfo", "source", -2.9, Outcome::kKept, -2},
        FieldCase{"AppLaunchInfo", "source", nullptr, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "source", true, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "source", "3", Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "source", 4294967297u, Outcome::kKept, 1},
        FieldCase{"AppLaunchInfo", "orientation", false, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "app_pullup_type", true, Outcome::kTypeError},
        FieldCase{"InstallAppInfo", "state", true, Outcome::kTypeError},
        FieldCase{"InstallAppInfo", "state", 2, Outcome::kKept, 2},
        // int32 fields that take booleans as 0 or 1
        FieldCase{"InstallAppInfo", "shield_shortcut", true, Outcome::kKept, 1},
        FieldCase{"StepCounter", "step", false, Outcome::kKept, 0},
        FieldCase{"OwnerWindowInfo", "owner_x", true, Outcome::kKept, 1},
        FieldCase{"OwnerWindowInfo", "owner_cy", -5.5, Outcome::kKept, -5},
        // uint32 fields, all taking booleans
        FieldCase{"AppLaunchInfo", "rotation", true, Outcome::kKept, 1u},
        FieldCase{"AppLaunchInfo", "rotation", 270, Outcome::kKept, 270u},
        FieldCase{"AppLaunchInfo", "display_id", -1, Outcome::kKept, 4294967295u},
        FieldCase{"AppLaunchInfo", "hash_code", 3.7, Outcome::kKept, 3u},
        FieldCase{"AppLaunchInfo", "app_category", "1", Outcome::kTypeError},
        // uint64 fields refuse booleans
        FieldCase{"OwnerWindowInfo", "owner_win_handle", true, Outcome::kTypeError},
        FieldCase{"OwnerWindowInfo", "owner_win_handle", 18446744073709551615u, Outcome::kKept,
                  18446744073709551615u},
        FieldCase{"StepCounter", "time", true, Outcome::kTypeError},
        FieldCase{"StepCounter", "time", 1733500000000u, Outcome::kKept, 1733500000000u},
        // float
        FieldCase{"OwnerWindowInfo", "owner_dpi", 1.5, Outcome::kKept, 1.5},
        FieldCase{"OwnerWindowInfo", "owner_dpi", 2, Outcome::kKept, 2.0},
        FieldCase{"OwnerWindowInfo", "owner_dpi", true, Outcome::kKept, 1.0},
        FieldCase{"OwnerWindowInfo", "owner_dpi", "1.5", Outcome::kTypeError},
        // bool accepts only booleans
        FieldCase{"AppLaunchInfo", "is_redirect_url", true, Outcome::kKept, true},
        FieldCase{"AppLaunchInfo", "is_redirect_url", 1, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "show_keymap_sidebar", nullptr, Outcome::kTypeError},
        // json is copied whatever it holds, null included
        FieldCase{"AppLaunchInfo", "extra_data", nullptr, Outcome::kKept, nullptr},
        FieldCase{"AppLaunchInfo", "extra_data", json::array({1, "a"}), Outcome::kKept,
                  json::array({1, "a"})},
        FieldCase{"AppLaunchInfo", "extra_data", {{"k", 1}}, Outcome::kKept, {{"k", 1}}},
        // nested records
        FieldCase{"AppLaunchInfo", "open_file", {{"file_path", "a"}, {"mime_type", "b"}},
                  Outcome::kKept, {{"file_path", "a"}, {"mime_type", "b"}}},
        FieldCase{"AppLaunchInfo", "open_file", {{"file_path", "a"}}, Outcome::kOutOfRange},
        FieldCase{"AppLaunchInfo", "open_file", 5, Outcome::kTypeError},
        FieldCase{"AppLaunchInfo", "qb_param", {{"owner_win_handle", 1}}, Outcome::kOutOfRange},
        FieldCase{"InstallAppInfo", "link_info", {{"session_id", "s"}}, Outcome::kOutOfRange},
        FieldCase{"InstallAppInfo", "link_info",
                  {{"session_id", "s"}, {"install_from", "f"}, {"pkg_name", "p"},
                   {"step_counter", {{"step", 1}}}},
                  Outcome::kOutOfRange}));

TEST(LaunchRecordsTest, FreshRecordsWriteTheirPlainFieldsAndTwoPresentZeros) {
  const json launch = AppLaunchInfo{};
  EXPECT_EQ(launch, json({{"pkg_name", ""}, {"rotation", 0u}}));
  EXPECT_TRUE(launch["rotation"].is_number_unsigned());

  const json install = InstallAppInfo{};
  EXPECT_EQ(install, json({{"pkg_name", ""}, {"icon", ""}, {"name", ""}, {"engine_name", ""},
                           {"file_path", ""}, {"state", 0}}));
  EXPECT_TRUE(install["state"].is_number_integer() && !install["state"].is_number_unsigned());

  EXPECT_EQ(json(StoreActivateInfo{}).dump(), R"({"cmd_show":0})");
  EXPECT_EQ(json(StoreActivateInfo{0, 3}).dump(), R"({"cmd_show":0,"source":3})");
  EXPECT_EQ(json(LinkContent{"kestova://x"}).dump(), R"({"content":"kestova://x"})");
}

TEST(LaunchRecordsTest, MinimalObjectsReadBackWithTheDefaultsAndIgnoreUnknownKeys) {
  const json launch = json::parse(R"({"pkg_name":"com.a","zzz":1})").get<AppLaunchInfo>();
  EXPECT_EQ(Keys(launch), (std::set<std::string>{"pkg_name", "rotation"}));
  EXPECT_EQ(launch["rotation"], 0);

  const json install = MinimalObject("InstallAppInfo").get<InstallAppInfo>();
  EXPECT_EQ(Keys(install), (std::set<std::string>{"pkg_name", "icon", "name", "engine_name",
                                                  "file_path", "state"}));

  const auto start = json::parse(R"({"oem_name":"acme","extra":true})").get<StartVMInfo>();
  EXPECT_EQ(json(start).dump(), R"({"oem_name":"acme"})");
  const auto stop = json::parse(R"({"oem_name":"acme"})").get<StopVMInfo>();
  EXPECT_EQ(stop.oem_name, "acme");
}

TEST(LaunchRecordsTest, RequiredKeysMustBeThere) {
  EXPECT_THROW(json::parse(R"({"rotation":1})").get<AppLaunchInfo>(), json::out_of_range);
  json install = MinimalObject("InstallAppInfo");
  install.erase("icon");
  EXPECT_THROW(install.get<InstallAppInfo>(), json::out_of_range);
  EXPECT_THROW(json::object().get<StartVMInfo>(), json::out_of_range);
  EXPECT_THROW(json::array().get<StopVMInfo>(), json::type_error);
  EXPECT_THROW(json("text").get<AppLaunchInfo>(), json::type_error);
}

TEST(LaunchRecordsTest, WritesKeysInAscendingByteOrderWithTheirNumberTypes) {
  AppLaunchInfo launch;
  launch.pkg_name = "com.a";
  launch.source = -3;
  launch.display_id = 2;
  launch.app_name = "Z";
  launch.qb_param = OwnerWindowInfo{0xFFFFFFFFFFull, 1.25f, -1, 2, 3, 4};
  EXPECT_EQ(json(launch).dump(),
            R"({"app_name":"Z","display_id":2,"pkg_name":"com.a",)"
            R"("qb_param":{"owner_cx":3,"owner_cy":4,"owner_dpi":1.25,)"
            R"("owner_win_handle":1099511627775,"owner_x":-1,"owner_y":2},)"
            R"("rotation":0,"source":-3})");
}

TEST(LaunchRecordsTest, InvalidUtf8FailsOnlyWhenTheTextIsMade) {
  AppLaunchInfo launch;
  launch.pkg_name = "com.a";
  launch.launch_tv_series = "bad \xFF text";
  json object;
  ASSERT_NO_THROW(object = launch);
  EXPECT_THROW(object.dump(), json::type_error);
}

TEST(LaunchRecordsTest, FullRecordsSurviveARoundTrip) {
  const json install = json::parse(R"({
    "pkg_name":"com.b","version_code":"12","version_name":"1.2","icon":"i","name":"n",
    "md5":"m","engine_name":"e","file_path":"C:\\a.apk","json_data":"{}","state":3,
    "from_source":"f","oem":"o","shield_shortcut":1,"action_type":"a","update_type":"u",
    "link_info":{"session_id":"s","install_from":"w","pkg_name":"com.b",
                 "step_counter":{"step":2,"time":99}}})");
  EXPECT_EQ(json(install.get<InstallAppInfo>()), install);
}

}  // namespace
