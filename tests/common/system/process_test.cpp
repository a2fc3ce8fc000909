#include "system/guid.h"
#include "system/process_info.h"
#include "system/process_kill.h"
#include "system/process_list.h"
#include "system/shell_open.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "stand_in_process.h"
#include "system/file_time.h"
#include "system/security.h"
#include "test_support.h"

namespace {

using test_support::StandInProcess;

bool Contains(const std::vector<DWORD>& ids, DWORD id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = towupper(c);
  return text;
}

bool SamePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

class ProcessTest : public testing::Test {
 protected:
  // Unique per test, so parallel runs never see each other's stand-ins.
  std::wstring UniqueExe() { return test_support::UniqueName(L"kt") + L".exe"; }
  test_support::TempDir temp_;
};

// The launcher asks one list both questions of its staleness test and the
// foreground hand-off: it must answer them as the free lookups do, as of the
// moment it was taken.
TEST_F(ProcessTest, OneListAnswersEveryLookupAsOfItsMoment) {
  const std::wstring name = UniqueExe();
  StandInProcess named(temp_.path(), name);
  StandInProcess worker(temp_.path() / "a", L"vmwp.exe");
  StandInProcess second_worker(temp_.path() / "a", L"vmwp.exe");
  StandInProcess upper_worker(temp_.path() / "b", L"VMWP.EXE");
  ASSERT_TRUE(named.started() && worker.started() && second_worker.started() &&
              upper_worker.started());
  const ProcessList list = ProcessList::Take();
  const std::wstring later_name = UniqueExe();
  StandInProcess later(temp_.path(), later_name);
  ASSERT_TRUE(later.started());

  EXPECT_EQ(list.FindIdByName(Upper(name)), named.id());
  const std::vector<DWORD> workers = list.VmWorkerIds();
  EXPECT_TRUE(Contains(workers, worker.id()) && Contains(workers, second_worker.id()));
  EXPECT_FALSE(Contains(workers, upper_worker.id()))
      << "only the exact lower-case name is a worker";
  EXPECT_EQ(list.FindIdByName(later_name), 0u);
  EXPECT_EQ(FindProcessIdByName(later_name), later.id());
}

TEST_F(ProcessTest, KillEndsEveryMatchingProcessWithinTheFilterButTheExcludedOne) {
  const std::wstring name = UniqueExe();
  StandInProcess first(temp_.path() / "Wanted", name);
  StandInProcess second(temp_.path() / "Wanted", name);
  StandInProcess excluded(temp_.path() / "Wanted", name);
  StandInProcess outside(temp_.path() / "Other", name);
  StandInProcess bystander(temp_.path() / "Wanted", UniqueExe());
  ASSERT_TRUE(first.started() && second.started() && excluded.started() && outside.started() &&
              bystander.started());

  std::vector<std::pair<std::filesystem::path, bool>> reported;
  const std::wstring upper = Upper(name);
  const std::wstring_view names[] = {L"not-running.exe", upper};
  EXPECT_EQ(KillProcesses(names, L"\\wANTED\\", excluded.id(),
                          [&](const std::filesystem::path& image, bool ended) {
                            reported.emplace_back(image, ended);
                          }),
            0u);
  EXPECT_FALSE(first.running());
  EXPECT_FALSE(second.running());
  EXPECT_TRUE(excluded.running());
  EXPECT_TRUE(outside.running());
  EXPECT_TRUE(bystander.running());
  ASSERT_EQ(reported.size(), 2u);
  for (const auto& [image, ended] : reported) {
    EXPECT_TRUE(SamePath(image, first.image())) << image;
    EXPECT_TRUE(ended);
  }

  // The one-name form passes its filter and exclusion on.
  EXPECT_EQ(base::system::KillProcess(name, L"\\Other\\", 0), 0u);
  EXPECT_FALSE(outside.running());
  EXPECT_TRUE(excluded.running());
  const std::wstring own_name = test_support::OwnExecutable().filename().wstring();
  EXPECT_EQ(base::system::KillProcess(own_name, L"", GetCurrentProcessId()), 0u);
}

// Through a handle that may only ask, so the kill is refused and the process
// counts as killed only when it has ended by itself.
base::KernelHandle QueryOnly(HANDLE process) {
  base::KernelHandle handle;
  DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), handle.put(),
                  PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, 0);
  return handle;
}

TEST_F(ProcessTest, AProcessCountsAsKilledWhenItEndedByItselfThoughTheKillIsRefused) {
  StandInProcess running(temp_.path(), UniqueExe());
  ASSERT_TRUE(running.started());
  EXPECT_FALSE(TerminateAndConfirm(QueryOnly(running.handle()).get()));
  EXPECT_TRUE(running.running());

  const auto image = test_support::CopyStandIn(temp_.path(), UniqueExe());
  const auto ended = test_support::StartProcess(image, L"\"" + image.wstring() + L"\"");
  ASSERT_EQ(test_support::WaitForExitCode(ended), 0u);
  EXPECT_TRUE(TerminateAndConfirm(QueryOnly(ended.get()).get()));
}

TEST_F(ProcessTest, ReportsTheAccountAndImageOfALiveProcessOnly) {
  wchar_t own_user[256] = {};
  DWORD length = 256;
  ASSERT_TRUE(GetUserNameW(own_user, &length));
  std::wstring user = L"untouched";
  std::wstring domain = L"untouched";
  StandInProcess process(temp_.path() / "deep" / "er", UniqueExe());
  ASSERT_TRUE(process.started());
  EXPECT_EQ(GetProcessUser(process.id(), user, domain), S_OK);
  EXPECT_EQ(user, own_user);
  EXPECT_FALSE(domain.empty());
  EXPECT_TRUE(SamePath(ProcessImagePath(process.handle()), process.image()));
  EXPECT_TRUE(SamePath(ProcessImagePath(GetCurrentProcess()), OwnExecutablePath()));

  user = L"untouched";
  constexpr DWORD kNeverIssued = 0xFFFFFFF0;
  EXPECT_EQ(GetProcessUser(kNeverIssued, user, domain), E_FAIL);
  EXPECT_EQ(GetProcessUser(0, user, domain), E_FAIL);
  EXPECT_EQ(user, L"untouched");
}

TEST(ProcessFactsTest, StartTimeIsStableAndRecent) {
  const uint64_t start = ProcessStartTimeMs();
  EXPECT_EQ(ProcessStartTimeMs(), start);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t now_ms = ((static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                           kFileTimeUnitsBefore1970) /
                          10000;
  EXPECT_LE(start, now_ms);
  EXPECT_LT(now_ms - start, 10ull * 60 * 1000);
}

TEST(ProcessFactsTest, GuidTextHasTheFixedUpperCaseForm) {
  const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
  const std::string first = NewGuidText();
  EXPECT_TRUE(std::regex_match(first, form)) << first;
  EXPECT_NE(NewGuidText(), first);
}

TEST(SecurityAttributesTest, AreBuiltOnceWithANullDacl) {
  SECURITY_ATTRIBUTES* attributes = EveryoneSecurityAttributes();
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(attributes, EveryoneSecurityAttributes());
  EXPECT_FALSE(attributes->bInheritHandle);
  BOOL present = FALSE;
  BOOL defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(
      GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
}

// What a started program is given, and where, the launcher's runs show.
TEST_F(ProcessTest, ShellOpenReportsAProgramItCannotStart) {
  EXPECT_NE(ShellOpen((temp_.path() / "missing.exe").wstring(), L"", L""), 0u);
}

}  // namespace
