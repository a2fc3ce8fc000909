#include "install/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

namespace {

// A throw-away key of each hive, removed with everything under it.
class RegistryTest : public testing::Test {
 protected:
  void TearDown() override {
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      RegDeleteTreeW(hive, key_.c_str());
      RegDeleteKeyExW(hive, key_.c_str(), KEY_WOW64_64KEY, 0);
    }
  }

  void SetRaw(HKEY hive, const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
    base::RegKey key;
    ASSERT_EQ(RegCreateKeyExW(hive, key_.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes),
        ERROR_SUCCESS);
  }

  const std::wstring key_ = L"SOFTWARE\\" + test_support::UniqueName(L"KestovaRegistryTest");
};

TEST_F(RegistryTest, ReadsOnlyWellFormedStrings) {
  const wchar_t text[] = L"C:\\x";
  const wchar_t expandable[] = L"%TEMP%\\y";
  const wchar_t empty[] = L"";
  // Only "ab" is counted; the system would add a NUL that followed it.
  const wchar_t unterminated[] = {L'a', L'b', L'c', L'd'};
  const DWORD number = 7;
  const BYTE bytes[] = {1, 2, 3, 4};
  SetRaw(HKEY_CURRENT_USER, L"text", REG_SZ, text, sizeof(text));
  SetRaw(HKEY_CURRENT_USER, L"expand", REG_EXPAND_SZ, expandable, sizeof(expandable));
  SetRaw(HKEY_CURRENT_USER, L"empty", REG_SZ, empty, sizeof(empty));
  SetRaw(HKEY_CURRENT_USER, L"zero-bytes", REG_SZ, empty, 0);
  SetRaw(HKEY_CURRENT_USER, L"odd", REG_SZ, text, 5);
  SetRaw(HKEY_CURRENT_USER, L"unterminated", REG_SZ, unterminated, 2 * sizeof(wchar_t));
  SetRaw(HKEY_CURRENT_USER, L"dword", REG_DWORD, &number, sizeof(number));
  SetRaw(HKEY_CURRENT_USER, L"binary", REG_BINARY, bytes, sizeof(bytes));

  struct Case {
    const wchar_t* name;
    const wchar_t* expected;
  };
  for (const Case& c : {Case{L"text", L"C:\\x"}, Case{L"expand", L"%TEMP%\\y"}, Case{L"empty", L""},
                        Case{L"zero-bytes", L"fallback"}, Case{L"odd", L"fallback"},
                        Case{L"unterminated", L"fallback"}, Case{L"dword", L"fallback"},
                        Case{L"binary", L"fallback"}, Case{L"missing", L"fallback"}}) {
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, key_, c.name, L"fallback"), c.expected) << c.name;
  }
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, key_ + L"\\missing", L"text", L"fallback"),
            L"fallback");
}

TEST_F(RegistryTest, ReadsQwordsOfTheCurrentUserOnly) {
  const uint64_t big = 0x1122334455667788ull;
  const DWORD small = 5;
  SetRaw(HKEY_CURRENT_USER, L"qword", REG_QWORD, &big, sizeof(big));
  SetRaw(HKEY_CURRENT_USER, L"dword", REG_DWORD, &small, sizeof(small));
  SetRaw(HKEY_LOCAL_MACHINE, L"machine", REG_QWORD, &big, sizeof(big));
  EXPECT_EQ(ReadRegQword(key_, L"qword"), big);
  EXPECT_EQ(ReadRegQword(key_, L"dword"), 0u);
  EXPECT_EQ(ReadRegQword(key_, L"machine"), 0u);
  EXPECT_EQ(ReadRegQword(key_, L"missing"), 0u);
}

TEST_F(RegistryTest, WriteCreatesMissingKeysInEitherHive) {
  for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    const std::wstring nested = key_ + L"\\a\\b";
    EXPECT_TRUE(WriteRegString(hive, nested, L"Version", L"5.1.2.3"));
    EXPECT_EQ(ReadRegString(hive, nested, L"Version", L""), L"5.1.2.3");
    EXPECT_TRUE(WriteRegString(hive, nested, L"Empty", L""));
    EXPECT_EQ(ReadRegString(hive, nested, L"Empty", L"fallback"), L"");
  }
}

// In a process of its own, so that a deletion that never ends fails the test
// instead of hanging it.
int DeleteKeyTree(int, wchar_t** argv) { return DeleteRegKeyTree(argv[3]) ? 0 : 1; }
const test_support::ChildRole kDeleteKeyTree(L"delete-key-tree", DeleteKeyTree);

TEST_F(RegistryTest, DeletesATreeWithALinkToAMissingKeyAndAcceptsAMissingKey) {
  ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key_ + L"\\one\\two\\three", L"v", L"x"));
  ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key_ + L"\\one\\sibling", L"v", L"x"));
  {
    base::RegKey link;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key_ + L"\\one\\link").c_str(), 0, nullptr,
                              REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                              link.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring target = L"\\Registry\\Machine\\" + key_ + L"\\gone";
    ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.data()),
                             static_cast<DWORD>(target.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  const base::KernelHandle child = test_support::StartChild(L"delete-key-tree", key_ + L"\\");
  const DWORD exit_code = test_support::WaitForExitCode(child);
  if (exit_code == test_support::kNoExitCode) TerminateProcess(child.get(), 1);
  EXPECT_EQ(exit_code, 0u);
  base::RegKey key;
  EXPECT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()),
      ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(DeleteRegKeyTree(key_ + L"\\never-created"));
}

TEST(FolderTest, EnsureDirectoryCreatesParentsAndAcceptsAnyExistingPath) {
  test_support::TempDir temp;
  const auto nested = temp.path() / "a" / "b" / "c";
  EXPECT_TRUE(EnsureDirectory(nested.wstring()));
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  const auto file = temp.path() / "file";
  { std::ofstream(file) << "x"; }
  EXPECT_TRUE(EnsureDirectory(file.wstring()));
  EXPECT_FALSE(EnsureDirectory((file / "below").wstring()));
}

}  // namespace
