#include "log/logger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "test_support.h"

namespace {

using test_support::ReadFileBytes;
using test_support::SplitLines;

constexpr char kRule[] = "=================================================================";
constexpr char kStamp[] = R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";

// Points the temporary folder of this process, and of the children it
// starts, at a fresh folder, so the log lands where the test can read it.
class LoggerTest : public testing::Test {
 protected:
  std::filesystem::path LogFolder() const { return temp_.path() / "Velmora" / "Kestova"; }
  std::filesystem::path LogFile() const { return LogFolder() / "unit.log"; }
  std::vector<std::string> LogLines() const { return SplitLines(ReadFileBytes(LogFile())); }

  static std::string RecordPattern(DWORD thread_id, const std::string& function,
                                   const std::string& message) {
    return std::string("^") + kStamp + "\\[" + std::to_string(thread_id) + "\\." +
           std::to_string(GetCurrentProcessId()) + "\\]\\[" + function + "\\]: " + message + "$";
  }

  test_support::TempDir temp_;
  test_support::ScopedEnvironment tmp_{L"TMP", temp_.path().wstring()};
  test_support::ScopedEnvironment temp_variable_{L"TEMP", temp_.path().wstring()};
};

TEST(LogTimestampTest, PadsEveryField) {
  struct Case {
    WORD month, day, hour, minute, second, millisecond;
    const char* expected;
  };
  const Case cases[] = {
      {12, 7, 9, 12, 7, 45, "[12-07 09:12:07.045] "},
      {1, 2, 3, 4, 5, 7, "[01-02 03:04:05.007] "},
      {10, 31, 23, 59, 59, 999, "[10-31 23:59:59.999] "},
      {6, 15, 0, 0, 0, 0, "[06-15 00:00:00.000] "},
  };
  for (const Case& c : cases) {
    SYSTEMTIME time{};
    time.wYear = 2026;
    time.wMonth = c.month;
    time.wDay = c.day;
    time.wHour = c.hour;
    time.wMinute = c.minute;
    time.wSecond = c.second;
    time.wMilliseconds = c.millisecond;
    EXPECT_EQ(LogTimestamp(time), c.expected);
  }
}

// A first run finds a read-only file where its folder goes; a second run
// that does not append leaves only its own frame, and nothing logged outside
// its start and end.
TEST_F(LoggerTest, FramesRecordsWithBannersAndFormatsEachLine) {
  std::filesystem::create_directories(LogFolder().parent_path());
  { std::ofstream(LogFolder()) << "not a folder"; }
  SetFileAttributesW(LogFolder().c_str(), FILE_ATTRIBUTE_READONLY);
  {
    Logger first;
    first.Start("unit", std::ios::app);
    first.Log("first run", CallSite::Here(), 1);
    first.End();
  }
  ASSERT_TRUE(std::filesystem::is_directory(LogFolder()));
  {
    Logger logger;
    logger.Log("before start", CallSite::Here(), 1);
    logger.Start("unit", std::ios::out);
    logger.Start("second", std::ios::app);  // a second start changes nothing
    logger.Log("plain", CallSite::Here(), 4312);
    logger.Log("value {} and {}", CallSite::Here(), 17, "{not a field}", std::string("text"));
    logger.End();
    logger.Log("after end", CallSite::Here(), 1);
    logger.Enqueue("after end");
  }
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 8u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], kRule);
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(std::string(kStamp) + " log start")))
      << lines[3];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(RecordPattern(4312, "TestBody", "plain"))))
      << lines[4];
  EXPECT_TRUE(std::regex_match(
      lines[5], std::regex(RecordPattern(17, "TestBody", R"(value \{not a field\} and text)"))))
      << lines[5];
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(std::string(kStamp) + " log end"))) << lines[6];
  EXPECT_EQ(lines[7], kRule);
  EXPECT_FALSE(std::filesystem::exists(LogFolder() / "second.log"));
}

TEST_F(LoggerTest, EverythingQueuedBeforeEndIsWrittenInOrder) {
  constexpr int kRecords = 3000;
  Logger logger;
  logger.Start("unit", std::ios::app);
  for (int i = 0; i < kRecords; ++i) logger.Log("record {}", CallSite::Here(), 1, i);
  logger.End();
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), kRecords + 6u);
  for (int i = 0; i < kRecords; ++i) {
    const std::string& line = lines[4 + i];
    ASSERT_EQ(line.substr(line.rfind(": ") + 2), "record " + std::to_string(i));
  }
  EXPECT_EQ(lines.back(), kRule);
}

// Appends records through the process-wide logger once the parent opens the
// gate, the first from a thread of its own: LogLine names the thread it runs
// on by itself. Each write waits, with the shared lock held, for the other
// child to reach the same point: without the lock both would find the same
// end of the file and write over each other every time.
HANDLE arrived = nullptr;
HANDLE other_arrived = nullptr;

void MeetTheOtherChild() {
  SetEvent(arrived);
  WaitForSingleObject(other_arrived, 250);
}

int AppendingChild(int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  const base::KernelHandle gate(OpenEventW(SYNCHRONIZE, FALSE, argv[3]));
  const base::KernelHandle mine(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]));
  const base::KernelHandle other(OpenEventW(SYNCHRONIZE, FALSE, argv[5]));
  if (!gate || !mine || !other || WaitForSingleObject(gate.get(), 60000) != WAIT_OBJECT_0) return 3;
  arrived = mine.get();
  other_arrived = other.get();
  SetAppendWindowHookForTesting(MeetTheOtherChild);
  Logger::Instance().Start("unit", std::ios::app);
  DWORD other_thread = 0;
  std::thread([&] {
    other_thread = GetCurrentThreadId();
    LogLine("record from another thread");
  }).join();
  LogLine("record after thread {}", other_thread);
  Logger::Instance().End();
  return 0;
}
const test_support::ChildRole kAppendingChild(L"append-log", AppendingChild);

TEST_F(LoggerTest, TwoProcessesAppendingAtOnceWriteOnlyWholeLines) {
  std::wstring names[3];
  base::KernelHandle events[3];
  for (int i = 0; i < 3; ++i) {
    names[i] = test_support::UniqueName(L"kestova-log-turn");
    events[i].reset(CreateEventW(nullptr, i == 0, FALSE, names[i].c_str()));
    ASSERT_TRUE(events[i]);
  }
  const base::KernelHandle first =
      test_support::StartChild(L"append-log", names[0] + L" " + names[1] + L" " + names[2]);
  const base::KernelHandle second =
      test_support::StartChild(L"append-log", names[0] + L" " + names[2] + L" " + names[1]);
  ASSERT_TRUE(first && second);
  SetEvent(events[0].get());
  ASSERT_EQ(test_support::WaitForExitCode(first), 0u);
  ASSERT_EQ(test_support::WaitForExitCode(second), 0u);

  // Per process: the thread of its first record, and its second's own thread
  // and the thread it names.
  std::map<std::string, std::vector<std::string>> threads;
  const std::regex record(
      std::string("^") + kStamp +
      R"(\[(\d+)\.(\d+)\]\[[^\]]+\]: record (from another thread|after thread (\d+))$)");
  const std::regex banner(std::string("^") + kStamp + " log (start|end)$");
  int banners = 0;
  for (const std::string& line : LogLines()) {
    if (std::smatch match; std::regex_match(line, match, record)) {
      threads[match[2]].push_back(match[1]);
      if (match[4].matched) threads[match[2]].push_back(match[4]);
    } else if (std::regex_match(line, banner)) {
      ++banners;
    } else {
      ASSERT_TRUE(line.empty() || line == kRule) << "torn line: " << line;
    }
  }
  EXPECT_EQ(banners, 4);
  for (const base::KernelHandle* child : {&first, &second}) {
    const std::vector<std::string>& ids = threads[std::to_string(GetProcessId(child->get()))];
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], ids[2]) << "the other thread's record names another thread";
    EXPECT_NE(ids[0], ids[1]);
  }
}

}  // namespace
