// The statistics of one process merged into what earlier runs stored; each
// test stores under a throw-away key of its own.
#include "ipc/ipc_quality_monitor.h"

#include <gtest/gtest.h>

#include <functional>

#include "install/registry.h"
#include "system/text.h"
#include "test_support.h"

namespace {

using ipc::IpcQualityMonitor;
using ipc::StatKey;

constexpr StatKey kLaunch{10009, 10002, 20001};
constexpr StatKey kQuit{10009, 10002, 20006};

class IpcStatsTest : public testing::Test {
 protected:
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

  void Store(const wchar_t* value, const std::string& text) {
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, key_, value, Utf8ToWide(text)));
  }
  std::string Stored(const wchar_t* value) {
    return WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key_, value, L"<none>"));
  }

  const std::wstring key_ = L"SOFTWARE\\Velmora\\" + test_support::UniqueName(L"KestovaStatsTest");
};

TEST(IpcStatKey, HashIsTheXorOfEachFieldsFnv1a) {
  // FNV-1a 64 over the little-endian bytes: 10009 (19 27 00 00) gives
  // 0x8ed2103ebaba30f1, 10002 (12 27 00 00) 0x5d99be1501dd84c6 and 20001
  // (21 4e 00 00) 0x2cd7bb6b15d127d6.
  EXPECT_EQ(ipc::StatKeyHash{}(kLaunch), 0xff9c1540aeb693e1ull);
}

TEST_F(IpcStatsTest, SendCountsAddUpOverRunsAndReplaceWhatIsNotATable) {
  struct Case {
    const char* name;
    std::optional<std::string> stored;
    std::vector<bool> sends;  // accepted or not, all of kind kLaunch
    ipc::SendCounts expected;
  };
  const std::vector<Case> cases = {
      {"first run", std::nullopt, {true}, {1, 1}},
      {"marker of absence", "DEFAULT_VALUE", {true, false}, {2, 1}},
      {"garbage", "[[{\"from\":10009", {true}, {1, 1}},
      {"negative total", R"([[{"from":10009,"to":10002,"msg_id":20001},{"total":-3,"success":0}]])",
       {true}, {1, 1}},
      {"earlier runs", R"([[{"from":10009,"to":10002,"msg_id":20001},{"total":5,"success":4}]])",
       {true, false}, {7, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    if (c.stored) Store(ipc::kSendStatsValue, *c.stored);
    IpcQualityMonitor monitor(key_);
    for (const bool accepted : c.sends) monitor.RecordSend(kLaunch, accepted);
    monitor.ReportSend();
    const ipc::SendTable stored = ipc::ParseSendTable(Stored(ipc::kSendStatsValue));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.at(kLaunch).total, c.expected.total);
    EXPECT_EQ(stored.at(kLaunch).success, c.expected.success);
  }
}

TEST_F(IpcStatsTest, StoredTextHasTheSharedForm) {
  IpcQualityMonitor monitor(key_);
  monitor.RecordSend(kLaunch, true);
  monitor.RecordRecv(kQuit, 250);
  monitor.ReportSend();
  monitor.ReportRecv();
  EXPECT_EQ(Stored(ipc::kSendStatsValue),
            R"([[{"from":10009,"msg_id":20001,"to":10002},{"success":1,"total":1}]])");
  EXPECT_EQ(Stored(ipc::kRecvStatsValue),
            R"([[{"from":10009,"msg_id":20006,"to":10002},{"avg_cost":250,"total":1}]])");
}

TEST_F(IpcStatsTest, TransitMeansAreWeightedByCountsAndNeverNegative) {
  struct Case {
    const char* name;
    std::optional<std::string> stored;
    std::vector<std::int64_t> costs;
    ipc::RecvCounts expected;
  };
  const std::vector<Case> cases = {
      {"merged with earlier runs",
       R"([[{"from":10009,"to":10002,"msg_id":20001},{"total":3,"avg_cost":100}]])", {400}, {4, 175}},
      {"running mean", std::nullopt, {100, 200, 600}, {3, 300}},
      // The sender's clock ahead of ours: that packet took no time, it did
      // not take minus five seconds (nor 2^64 minus them).
      {"negative transit time", std::nullopt, {-5'000'000, 300}, {2, 150}},
      {"negative stored mean", R"([[{"from":10009,"to":10002,"msg_id":20001},{"total":1,"avg_cost":-7}]])",
       {80}, {2, 40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    if (c.stored) Store(ipc::kRecvStatsValue, *c.stored);
    IpcQualityMonitor monitor(key_);
    for (const std::int64_t cost : c.costs) monitor.RecordRecv(kLaunch, cost);
    monitor.ReportRecv();
    const ipc::RecvTable stored = ipc::ParseRecvTable(Stored(ipc::kRecvStatsValue));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.at(kLaunch).total, c.expected.total);
    EXPECT_EQ(stored.at(kLaunch).avg_cost, c.expected.avg_cost);
  }
}

}  // namespace
