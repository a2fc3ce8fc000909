#include "log/logger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include "test_support.h"

namespace {

using test_support::ReadFileBytes;
using test_support::SplitLines;

constexpr char kRule[] =
    "=================================================================";
constexpr char kStamp[] = R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";

// Points the temporary folder of this process at a fresh folder, so the log
// lands where the test can read it.
class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableW(L"TMP", temp_.path().c_str());
    SetEnvironmentVariableW(L"TEMP", temp_.path().c_str());
  }
  std::filesystem::path LogFolder() const { return temp_.path() / "Velmora" / "Kestova"; }
  std::filesystem::path LogFile() const { return LogFolder() / "unit.log"; }
  std::vector<std::string> LogLines() const { return SplitLines(ReadFileBytes(LogFile())); }

  static std::string RecordPattern(DWORD thread_id, const std::string& function,
                                   const std::string& message) {
    return std::string("^") + kStamp + "\\[" + std::to_string(thread_id) + "\\." +
           std::to_string(GetCurrentProcessId()) + "\\]\\[" + function + "\\]: " +
           message + "$";
  }

  test_support::TempDir temp_;
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

TEST_F(LoggerTest, FramesRecordsWithBannersAndFormatsEachLine) {
  {
    Logger logger;
    logger.Start("unit", std::ios::app);
    logger.Log("plain", CallSite::Here(), 4312);
    logger.Log("value {} and {}", CallSite::Here(), 17, "{not a field}",
               std::string("text"));
    logger.End();
  }
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 8u);
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
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(std::string(kStamp) + " log end")))
      << lines[6];
  EXPECT_EQ(lines[7], kRule);
}

TEST_F(LoggerTest, RecordsOutsideTheRunningLoggerAreDropped) {
  Logger logger;
  logger.Log("before start", CallSite::Here(), 1);
  logger.Start("unit", std::ios::app);
  logger.End();
  logger.Log("after end", CallSite::Here(), 1);
  logger.Enqueue("after end");
  const std::string text = ReadFileBytes(LogFile());
  EXPECT_EQ(text.find("before start"), std::string::npos);
  EXPECT_EQ(text.find("after end"), std::string::npos);
}

TEST_F(LoggerTest, ShowsTheLoggingThreadsIdAndTheSameProcessId) {
  Logger logger;
  logger.Start("unit", std::ios::app);
  DWORD other_thread = 0;
  std::thread([&] {
    other_thread = GetCurrentThreadId();
    logger.Log("from the other thread", CallSite::Here(), other_thread);
  }).join();
  logger.End();
  const auto lines = LogLines();
  const std::string pattern = RecordPattern(other_thread, ".*", "from the other thread");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) {
                            return std::regex_match(line, std::regex(pattern));
                          }),
            1);
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

TEST_F(LoggerTest, EndReturnsWhenTheFileCannotBeOpened) {
  std::filesystem::create_directories(LogFile());  // a folder where the file goes
  Logger logger;
  logger.Start("unit", std::ios::app);
  logger.Log("lost", CallSite::Here(), 1);
  logger.End();
  EXPECT_TRUE(std::filesystem::is_directory(LogFile()));
}

TEST_F(LoggerTest, ReplacesAFileStandingWhereTheFolderGoes) {
  std::filesystem::create_directories(LogFolder().parent_path());
  { std::ofstream(LogFolder()) << "not a folder"; }
  Logger logger;
  logger.Start("unit", std::ios::app);
  logger.End();
  EXPECT_TRUE(std::filesystem::is_directory(LogFolder()));
  EXPECT_EQ(LogLines().size(), 6u);
}

TEST_F(LoggerTest, TruncatesUnlessAppending) {
  for (int run = 0; run < 2; ++run) {
    Logger logger;
    logger.Start("unit", std::ios::out);
    logger.End();
  }
  EXPECT_EQ(LogLines().size(), 6u);
}

// Appends long records through the process-wide logger once the parent
// opens the gate, so that two of these write at the same moment.
constexpr int kRecordsPerChild = 400;
const std::string kPayload(300, 'x');

int AppendingChild(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  base::KernelHandle gate(OpenEventW(SYNCHRONIZE, FALSE, argv[3]));
  if (!gate || WaitForSingleObject(gate.get(), 60000) != WAIT_OBJECT_0) return 3;
  Logger::Instance().StartOnce("unit", std::ios::app);
  for (int i = 0; i < kRecordsPerChild; ++i) LogLine("{} {}", i, kPayload);
  Logger::Instance().End();
  return 0;
}
const test_support::ChildRole kAppendingChild(L"append-log", AppendingChild);

TEST_F(LoggerTest, TwoProcessesAppendingAtOnceWriteOnlyWholeLines) {
  const std::wstring gate_name = test_support::UniqueName(L"kestova-log-gate");
  base::KernelHandle gate(CreateEventW(nullptr, TRUE, FALSE, gate_name.c_str()));
  ASSERT_TRUE(gate);
  base::KernelHandle first = test_support::StartChild(L"append-log", gate_name);
  base::KernelHandle second = test_support::StartChild(L"append-log", gate_name);
  ASSERT_TRUE(first && second);
  SetEvent(gate.get());
  ASSERT_EQ(test_support::WaitForExitCode(first), 0u);
  ASSERT_EQ(test_support::WaitForExitCode(second), 0u);

  const std::regex record(std::string("^") + kStamp +
                          R"(\[\d+\.\d+\]\[AppendingChild\]: \d+ x{300}$)");
  const std::regex banner(std::string("^") + kStamp + " log (start|end)$");
  int records = 0;
  int banners = 0;
  for (const std::string& line : LogLines()) {
    if (std::regex_match(line, record)) {
      ++records;
    } else if (std::regex_match(line, banner)) {
      ++banners;
    } else {
      ASSERT_TRUE(line.empty() || line == kRule) << "torn line: " << line;
    }
  }
  EXPECT_EQ(records, 2 * kRecordsPerChild);
  EXPECT_EQ(banners, 4);
}

}  // namespace
