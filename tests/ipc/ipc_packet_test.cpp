#include "ipc/ipc_packet.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>

#include "system/process.h"

namespace {

using ipc::IpcPacket;
using ipc::ModuleId;
using nlohmann::json;

std::set<std::string> Keys(const json& object) {
  std::set<std::string> keys;
  for (const auto& item : object.items()) keys.insert(item.key());
  return keys;
}

TEST(ModuleIdTest, NamesEveryRowAndUnknownForTheRest) {
  struct Case {
    std::int32_t number;
    const char* name;
  };
  for (const Case& c : {Case{0, "UNKNOWN"}, Case{10001, "StoreClient"},
                        Case{10002, "EmulatorClient"}, Case{10007, "UNKNOWN"},
                        Case{10009, "LaunchAgent"}, Case{10012, "UNKNOWN"},
                        Case{10017, "VmCore"}, Case{70001, "CafeClient"}, Case{-1, "UNKNOWN"},
                        Case{20003, "UNKNOWN"}}) {
    EXPECT_EQ(ipc::ModuleName(static_cast<ModuleId>(c.number)), c.name) << c.number;
  }
}

TEST(ModuleIdTest, InitedMutexNamesCarryTheNamespacePrefixOnlyWhenGlobal) {
  EXPECT_EQ(ipc::InitedMutexName(ModuleId::LaunchAgent, true),
            "Global\\kestova_ipc_inited_LaunchAgent");
  EXPECT_EQ(ipc::InitedMutexName(ModuleId::EmulatorClient, false),
            "kestova_ipc_inited_EmulatorClient");
}

TEST(IpcPacketTest, ANewPacketCarriesEveryDeliveryFieldButTheResponseChannel) {
  ipc::SetLocalModule(ModuleId::LaunchAgent);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t now_us =
      ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
       116444736000000000ULL) / 10;

  const json packet = IpcPacket(ModuleId::EmulatorClient, 20001, {{"pkg_name", "a"}});
  EXPECT_EQ(Keys(packet),
            (std::set<std::string>{"from", "to", "msg_id", "data", "uac", "handle_self_ipc",
                                   "send_time_us", "unique_id", "from_process_id",
                                   "to_process_id"}));
  EXPECT_EQ(packet["from"], 10009);
  EXPECT_EQ(packet["to"], 10002);
  EXPECT_EQ(packet["msg_id"], 20001);
  EXPECT_EQ(packet["uac"], IsElevated());
  EXPECT_EQ(packet["handle_self_ipc"], false);
  EXPECT_EQ(packet["from_process_id"], GetCurrentProcessId());
  EXPECT_EQ(packet["to_process_id"], 0);
  EXPECT_EQ(packet["unique_id"].get<std::string>().size(), 36u);
  const auto sent = packet["send_time_us"].get<std::uint64_t>();
  EXPECT_LT(sent > now_us ? sent - now_us : now_us - sent, 60'000'000u);
  EXPECT_TRUE(packet["from_process_id"].is_number_unsigned());
  EXPECT_NE(IpcPacket(ModuleId::StoreClient, 1, nullptr).unique_id, packet["unique_id"]);
}

TEST(IpcPacketTest, WireTextIsCompactUnescapedAndNulTerminated) {
  IpcPacket packet(ModuleId::LaunchAgent, ModuleId::StoreClient, 10003,
                   {{"content", "kestova://search?q=caf\xC3\xA9"}});
  const auto text = packet.WireText();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->back(), '\0');
  EXPECT_EQ(text->find('\n'), std::string::npos);
  EXPECT_NE(text->find(R"("data":{"content":"kestova://search?q=caf)" "\xC3\xA9" R"("})"),
            std::string::npos);
  EXPECT_EQ(text->find("\\u"), std::string::npos);

  packet.data = "bad \xFF";
  EXPECT_FALSE(packet.WireText().has_value());
}

TEST(IpcPacketTest, ReceivedEnvelopesStartFromTheReceiverDefaults) {
  const auto packet = ipc::ParseReceivedPacket(R"({"from":10009,"to":10002,"msg_id":1,"data":null})");
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->uac, true);
  EXPECT_EQ(packet->handle_self_ipc, false);
  EXPECT_EQ(packet->from_process_id, 0u);
  EXPECT_EQ(packet->to_process_id, 0u);
  EXPECT_FALSE(packet->send_time_us || packet->unique_id || packet->response_channel);

  const auto addressed = ipc::ParseReceivedPacket(
      std::string(R"({"from":1,"to":2,"msg_id":3.9,"data":[1],"to_process_id":7,"uac":false})") +
      '\0');
  ASSERT_TRUE(addressed.has_value());
  EXPECT_EQ(addressed->to_process_id, 7u);
  EXPECT_EQ(addressed->uac, false);
  EXPECT_EQ(addressed->msg_id, 3);
  EXPECT_EQ(addressed->data, json::array({1}));
}

TEST(IpcPacketTest, MalformedEnvelopesAreRefused) {
  for (const char* text : {
           R"({"to":2,"msg_id":3,"data":null})",
           R"({"from":1,"msg_id":3,"data":null})",
           R"({"from":1,"to":2,"data":null})",
           R"({"from":1,"to":2,"msg_id":3})",
           R"({"from":"1","to":2,"msg_id":3,"data":null})",
           R"({"from":1,"to":true,"msg_id":3,"data":null})",
           R"({"from":1,"to":2,"msg_id":null,"data":null})",
           R"({"from":1,"to":2,"msg_id":3,"data":null,"uac":1})",
           R"([1,2])",
           "not json",
           "",
       }) {
    EXPECT_FALSE(ipc::ParseReceivedPacket(text).has_value()) << text;
  }
}

TEST(IpcPacketTest, RoundTripKeepsEveryField) {
  IpcPacket sent(ModuleId::StoreClient, ModuleId::EmulatorClient, 20002, "text");
  sent.response_channel = "LaunchAgent_reply";
  sent.to_process_id = 4242;
  const auto received = ipc::ParseReceivedPacket(*sent.WireText());
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(json(*received), json(sent));
}

}  // namespace
