// The statistics of one process merged into what earlier runs stored, under
// a throw-away key of the test's own.
#include "ipc/ipc_quality_monitor.h"

#include <gtest/gtest.h>

#include <thread>

#include "install/registry.h"
#include "system/text.h"
#include "test_support.h"

namespace {

constexpr ipc::StatKey kLaunch{10009, 10002, 20001};

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
      {"a malformed element spoils the whole stored table",
       false,
       std::string(kStoredKey) + R"({"total":5,"success":4}],)" +
           R"([{"from":1,"to":2,"msg_id":3},{"total":1,"success":1},0]])",
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
    ipc::IpcQualityMonitor monitor;
    for (const std::int64_t record : c.records) {
      c.receipts ? monitor.RecordRecv(kLaunch, record) : monitor.RecordSend(kLaunch, record != 0);
    }
    c.receipts ? monitor.ReportRecv(key) : monitor.ReportSend(key);
    EXPECT_EQ(WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key, value, L"")),
              std::string(R"([[{"from":10009,"msg_id":20001,"to":10002},)") + c.counts + "]]");
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

// Processes that shut down together take the lock in turn; one that kept it
// would hold up every other for the lock's whole wait.
TEST(IpcQualityMonitor, ReportingLetsGoOfTheLock) {
  const std::wstring key = L"SOFTWARE\\Velmora\\" + test_support::UniqueName(L"KestovaStatsTest");
  // Another process waiting for the lock keeps it in being.
  const base::KernelHandle waiter(CreateMutexW(nullptr, FALSE, ipc::StatsLockName().c_str()));
  ipc::IpcQualityMonitor().ReportSend(key);
  std::thread([&waiter] { EXPECT_TRUE(shm::HoldMutex(waiter.get(), 0)); }).join();
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
