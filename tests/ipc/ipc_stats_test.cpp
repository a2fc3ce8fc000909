// The statistics of one process merged into what earlier runs stored, under
// a throw-away key of the test's own.
#include "ipc/ipc_quality_monitor.h"

#include <gtest/gtest.h>

#include "install/registry.h"
#include "system/text.h"
#include "test_support.h"

namespace {

constexpr ipc::StatKey kLaunch{10009, 10002, 20001};

TEST(IpcStatKey, HashIsTheXorOfEachFieldsFnv1a) {
  // FNV-1a 64 over the little-endian bytes: 10009 (19 27 00 00) gives
  // 0x8ed2103ebaba30f1, 10002 (12 27 00 00) 0x5d99be1501dd84c6 and 20001
  // (21 4e 00 00) 0x2cd7bb6b15d127d6.
  EXPECT_EQ(ipc::StatKeyHash{}(kLaunch), 0xff9c1540aeb693e1ull);
}

TEST(IpcQualityMonitor, CountsAddUpOverRunsInTheSharedForm) {
  constexpr char kStoredKey[] = R"([[{"from":10009,"to":10002,"msg_id":20001},)";
  struct Case {
    const char* name;
    bool receipts;
    std::optional<std::string> stored;
    std::vector<std::int64_t> records;  // sends: accepted or not; receipts: the transit time
    const char* counts;                 // what is stored afterwards
  };
  const std::vector<Case> cases = {
      {"first run", false, std::nullopt, {true}, R"({"success":1,"total":1})"},
      {"marker of absence", false, "DEFAULT_VALUE", {true, false}, R"({"success":1,"total":2})"},
      {"garbage", false, "[[{\"from\":10009", {true}, R"({"success":1,"total":1})"},
      {"negative total",
       false,
       std::string(kStoredKey) + R"({"total":-3,"success":0}]])",
       {true},
       R"({"success":1,"total":1})"},
      {"earlier runs",
       false,
       std::string(kStoredKey) + R"({"total":5,"success":4}]])",
       {true, false},
       R"({"success":5,"total":7})"},
      {"mean merged with earlier runs",
       true,
       std::string(kStoredKey) + R"({"total":3,"avg_cost":100}]])",
       {400},
       R"({"avg_cost":175,"total":4})"},
      {"running mean", true, std::nullopt, {100, 200, 600}, R"({"avg_cost":300,"total":3})"},
      // The sender's clock ahead of ours: that packet took no time, it did
      // not take minus five seconds (nor 2^64 minus them).
      {"negative transit time",
       true,
       std::nullopt,
       {-5'000'000, 300},
       R"({"avg_cost":150,"total":2})"},
      {"negative stored mean",
       true,
       std::string(kStoredKey) + R"({"total":1,"avg_cost":-7}]])",
       {80},
       R"({"avg_cost":40,"total":2})"},
  };
  const std::wstring key = L"SOFTWARE\\Velmora\\" + test_support::UniqueName(L"KestovaStatsTest");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const wchar_t* value = c.receipts ? ipc::kRecvStatsValue : ipc::kSendStatsValue;
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (c.stored) {
      ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, key, value, Utf8ToWide(*c.stored)));
    }
    ipc::IpcQualityMonitor monitor(key);
    for (const std::int64_t record : c.records) {
      c.receipts ? monitor.RecordRecv(kLaunch, record) : monitor.RecordSend(kLaunch, record != 0);
    }
    c.receipts ? monitor.ReportRecv() : monitor.ReportSend();
    EXPECT_EQ(WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key, value, L"")),
              std::string(R"([[{"from":10009,"msg_id":20001,"to":10002},)") + c.counts + "]]");
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
