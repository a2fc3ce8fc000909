#include "ipc/ipc_packet.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "json_record_keys.h"
#include "system/file_time.h"
#include "system/privileges.h"

namespace {

using ipc::IpcPacket;
using ipc::ModuleId;
using nlohmann::json;
using K = test_support::JsonKind;

TEST(ModuleIdTest, NamesEveryRowOfTheIdentityTableAndUnknownForTheRest) {
  const std::pair<std::int32_t, const char*> rows[] = {
      {0, "UNKNOWN"},
      {10001, "StoreClient"},
      {10002, "EmulatorClient"},
      {10003, "HostService"},
      {10004, "Updater"},
      {10005, "Uninstaller"},
      {10006, "DesktopCompanion"},
      {10007, "UNKNOWN"},
      {10008, "SetupWizard"},
      {10009, "LaunchAgent"},
      {10010, "FileBridge"},
      {10011, "SetupFetcher"},
      {10012, "UNKNOWN"},
      {10013, "VmCrashNotifier"},
      {10014, "VmHeadlessHost"},
      {10015, "SmartCompanion"},
      {10016, "PlayService"},
      {10017, "VmCore"},
      {10018, "UNKNOWN"},
      {20001, "DesktopStoreSdk"},
      {20002, "DesktopStoreCompanion"},
      {20003, "UNKNOWN"},
      {30001, "GameHubSdk"},
      {40001, "PartnerAppstore"},
      {50001, "PartnerSdk"},
      {60001, "StreamingSdk"},
      {70001, "CafeClient"},
      {-1, "UNKNOWN"},
  };
  for (const auto& [number, name] : rows) {
    EXPECT_EQ(ipc::ModuleName(static_cast<ModuleId>(number)), name) << number;
  }
  EXPECT_EQ(ipc::InitedMutexName(ModuleId::LaunchAgent, true),
            "Global\\kestova_ipc_inited_LaunchAgent");
  EXPECT_EQ(ipc::InitedMutexName(ModuleId::EmulatorClient, false),
            "kestova_ipc_inited_EmulatorClient");
}

TEST(IpcPacketTest, EnvelopeKeys) {
  test_support::CheckRecordKeys(IpcPacket::ReceiverDefaults(),
                                {
                                    {"from", K::kInt32, true},
                                    {"to", K::kInt32, true},
                                    {"msg_id", K::kInt32, true},
                                    {"data", K::kAny, true},
                                    {"uac", K::kBool, false},
                                    {"handle_self_ipc", K::kBool, false},
                                    {"send_time_us", K::kUint64, false},
                                    {"unique_id", K::kString, false},
                                    {"from_process_id", K::kUint64, false},
                                    {"to_process_id", K::kUint64, false},
                                    {"response_channel", K::kString, false},
                                });
}

TEST(IpcPacketTest, ANewPacketCarriesEveryDeliveryFieldButTheResponseChannel) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t now_us =
      ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
       kFileTimeUnitsBefore1970) /
      10;
  for (const ModuleId local : {ModuleId::LaunchAgent, ModuleId::StoreClient}) {
    ipc::SetLocalModule(local);
    json packet = IpcPacket(ModuleId::EmulatorClient, 20001, {{"pkg_name", "a"}});
    EXPECT_EQ(packet["from"], static_cast<int>(local));
    EXPECT_EQ(packet["unique_id"].get<std::string>().size(), 36u);
    EXPECT_NE(packet["unique_id"], json(IpcPacket(ModuleId::StoreClient, 1, nullptr))["unique_id"]);
    const auto sent = packet["send_time_us"].get<std::uint64_t>();
    EXPECT_LT(sent > now_us ? sent - now_us : now_us - sent, 60'000'000u);
    for (const char* varying : {"from", "unique_id", "send_time_us"}) packet.erase(varying);
    EXPECT_EQ(packet, json({{"to", 10002},
                            {"msg_id", 20001},
                            {"data", {{"pkg_name", "a"}}},
                            {"uac", IsElevated()},
                            {"handle_self_ipc", false},
                            {"from_process_id", GetCurrentProcessId()},
                            {"to_process_id", 0}}));
  }
  ipc::SetLocalModule(ModuleId::Unknown);
}

TEST(IpcPacketTest, WireTextIsCompactUnescapedAndNulTerminated) {
  IpcPacket packet(ModuleId::LaunchAgent, ModuleId::StoreClient, 10003,
                   {{"content", "kestova://search?q=caf\xC3\xA9"}});
  const auto text = packet.WireText();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->back(), '\0');
  EXPECT_EQ(text->find('\n'), std::string::npos);
  EXPECT_NE(text->find(R"("data":{"content":"kestova://search?q=caf)"
                       "\xC3\xA9"
                       R"("})"),
            std::string::npos);
  EXPECT_EQ(text->find("\\u"), std::string::npos);
  EXPECT_EQ(json(*ipc::ParseReceivedPacket(*text)), json(packet));

  packet.data = "bad \xFF";
  EXPECT_FALSE(packet.WireText().has_value());
}

std::string Nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(IpcPacketTest, ReceivedTextStartsFromTheReceiverDefaultsOrIsDropped) {
  const auto packet =
      ipc::ParseReceivedPacket(std::string(R"({"from":1,"to":2,"msg_id":3,"data":null})") + '\0');
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(json(*packet).dump(),
            R"({"data":null,"from":1,"from_process_id":0,"handle_self_ipc":false,)"
            R"("msg_id":3,"to":2,"to_process_id":0,"uac":true})");

  const std::string deep = R"({"from":1,"to":2,"msg_id":3,"data":)";
  EXPECT_TRUE(ipc::ParseReceivedPacket(deep + Nested(511) + "}").has_value());
  // One packet from any user must not be able to end the receiving process.
  for (const std::string& text : {deep + Nested(512) + "}", deep + Nested(12000) + "}",
                                  std::string("[1,2]"), std::string("not json"), std::string()}) {
    EXPECT_FALSE(ipc::ParseReceivedPacket(text).has_value()) << text.substr(0, 60);
  }
}

}  // namespace
