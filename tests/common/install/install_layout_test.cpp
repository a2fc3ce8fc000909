#include "install/install_layout.h"

#include <gtest/gtest.h>

#include <fstream>

#include "install/registry.h"
#include "system/process_info.h"
#include "test_support.h"

namespace {

// A product of the test's own, so its keys and folders are unique; the
// install folder is pointed into a temporary folder unless a test says not.
class InstallLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    layout_.Init(product_);
    product_key_ = L"SOFTWARE\\Velmora\\" + product_;
  }
  void TearDown() override {
    EXPECT_TRUE(DeleteRegKeyTree(product_key_));
    RegDeleteTreeW(HKEY_CURRENT_USER, product_key_.c_str());
    RegDeleteKeyExW(HKEY_CURRENT_USER, product_key_.c_str(), KEY_WOW64_64KEY, 0);
  }

  void InstallInto(const std::filesystem::path& folder) {
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, product_key_, L"InstallPath", folder.wstring()));
  }
  void SetVersion(HKEY hive, const std::wstring& version) {
    ASSERT_TRUE(WriteRegString(hive, product_key_ + L"\\Kestova", L"Version", version));
  }
  std::filesystem::path VersionFolder(const std::wstring& version) {
    return temp_.path() / "Application" / version;
  }
  void AddExecutables(const std::wstring& version, std::initializer_list<const wchar_t*> names) {
    std::filesystem::create_directories(VersionFolder(version));
    for (const wchar_t* name : names) std::ofstream(VersionFolder(version) / name) << "MZ";
  }

  const std::wstring product_ = test_support::UniqueName(L"KestovaTest");
  std::wstring product_key_;
  InstallLayout layout_;
  test_support::TempDir temp_;
};

TEST_F(InstallLayoutTest, NamesEachComponentsKey) {
  struct Case {
    ComponentKind kind;
    std::wstring key;
  };
  const Case cases[] = {
      {ComponentKind::Other, product_key_},
      {ComponentKind::Kestova, product_key_ + L"\\Kestova"},
      {ComponentKind::KestovaBox, L"SOFTWARE\\KestovaBox"},
      {ComponentKind::Image, product_key_ + L"\\Image"},
      {ComponentKind::QletRuntime, product_key_ + L"\\QletRuntime"},
      {ComponentKind::Brevik, product_key_ + L"\\Brevik"},
      {ComponentKind::ZebApplet, product_key_ + L"\\ZebApplet"},
  };
  for (const Case& c : cases) EXPECT_EQ(layout_.RegistryKeyFor(c.kind), c.key);
  EXPECT_EQ(layout_.EnvKey(), product_key_ + L"\\Env");
}

TEST_F(InstallLayoutTest, InstallPathDefaultsToProgramFilesAndIsCreated) {
  wchar_t program_files[MAX_PATH] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"ProgramW6432", program_files, MAX_PATH), 0u);
  const std::filesystem::path expected =
      std::filesystem::path(program_files) / L"Velmora" / product_;
  EXPECT_EQ(layout_.InstallPath(), expected.wstring());
  EXPECT_TRUE(std::filesystem::is_directory(expected));
  std::filesystem::remove_all(expected);
}

TEST_F(InstallLayoutTest, InstallPathFromTheRegistryIsCreatedAndAnEmptyOneStaysEmpty) {
  const auto folder = temp_.path() / "Install Here";
  InstallInto(folder);
  EXPECT_EQ(layout_.InstallPath(), folder.wstring());
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(layout_.ApplicationDir(), (folder / "Application").wstring());
  EXPECT_TRUE(std::filesystem::is_directory(folder / "Application"));

  InstallInto(L"");
  EXPECT_EQ(layout_.InstallPath(), L"");
}

// The versioned folder is made even for the placeholder version.
TEST_F(InstallLayoutTest, UserVersionWinsUnlessMissingOrThePlaceholder) {
  InstallInto(temp_.path());
  EXPECT_EQ(layout_.VersionedApplicationDir(), VersionFolder(L"1.0.0.0").wstring());
  EXPECT_TRUE(std::filesystem::is_directory(VersionFolder(L"1.0.0.0")));
  SetVersion(HKEY_LOCAL_MACHINE, L"5.0.1.2");
  EXPECT_EQ(layout_.ComponentVersion(ComponentKind::Kestova), L"5.0.1.2");
  SetVersion(HKEY_CURRENT_USER, L"1.0.0.0");
  EXPECT_EQ(layout_.ComponentVersion(ComponentKind::Kestova), L"5.0.1.2");
  SetVersion(HKEY_CURRENT_USER, L"5.0.1.3");
  EXPECT_EQ(layout_.VersionedApplicationDir(), VersionFolder(L"5.0.1.3").wstring());
  EXPECT_EQ(layout_.ProductVersion(), L"1.0.0.0");
}

TEST_F(InstallLayoutTest, OnlyAVersionWithAllThreeExecutablesIsCompleteAndCommitted) {
  InstallInto(temp_.path());
  const std::wstring key = product_key_ + L"\\Kestova";
  AddExecutables(L"2.0.0.1", {L"Kestova.exe", L"KestovaSvr.exe"});
  AddExecutables(L"2.0.0.2", {L"KestovaStore.exe", L"KestovaSvr.exe"});
  AddExecutables(L"2.0.0.3", {L"KestovaStore.exe", L"Kestova.exe"});
  for (const wchar_t* incomplete : {L"2.0.0.0", L"2.0.0.1", L"2.0.0.2", L"2.0.0.3"}) {
    EXPECT_FALSE(layout_.CommitVersion(incomplete)) << incomplete;
  }
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, key, L"Version", L"none"), L"none");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, key, L"Version", L"none"), L"none");

  AddExecutables(L"2.0.0.4", {L"KestovaStore.exe", L"Kestova.exe", L"KestovaSvr.exe"});
  EXPECT_TRUE(layout_.CommitVersion(L"2.0.0.4"));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, key, L"Version", L"none"), L"2.0.0.4");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, key, L"Version", L"none"), L"2.0.0.4");
}

TEST_F(InstallLayoutTest, TempFoldersSitUnderTheUsersTemporaryFolder) {
  const test_support::ScopedEnvironment tmp(L"TMP", temp_.path().wstring());
  const std::wstring vendor = layout_.TempVendorDir();
  const std::wstring product = layout_.TempProductDir();
  EXPECT_EQ(vendor, (temp_.path() / "Velmora").wstring());
  EXPECT_EQ(product, (temp_.path() / "Velmora" / "Kestova").wstring() + L"\\");
  EXPECT_TRUE(std::filesystem::is_directory(product));
}

TEST_F(InstallLayoutTest, MarkIsSetOnlyWhenPresentAndNotZero) {
  const std::wstring key = product_key_ + L"\\Mark";
  base::RegKey mark;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0,
                            KEY_WRITE | KEY_WOW64_64KEY, nullptr, mark.put(), nullptr),
            ERROR_SUCCESS);
  const uint64_t one = 1;
  const uint64_t zero = 0;
  RegSetValueExW(mark.get(), L"on", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&one), 8);
  RegSetValueExW(mark.get(), L"off", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&zero), 8);
  EXPECT_TRUE(layout_.Mark(L"on").IsSet());
  EXPECT_FALSE(layout_.Mark(L"off").IsSet());
  EXPECT_FALSE(layout_.Mark(L"absent").IsSet());
  EXPECT_EQ(layout_.Mark(L"on").key, key);
}

TEST(FileVersionTest, ReadsTheVersionResourceOrFallsBack) {
  EXPECT_EQ(FileVersionOf((test_support::BinaryDir() / "KestovaLauncher.exe").wstring()),
            KESTOVA_LAUNCHER_VERSION);
  EXPECT_EQ(OwnFileVersion(), "2.4.6.8");  // from test_version.rc
  EXPECT_EQ(FileVersionOf(L"Z:\\no\\such\\file.exe"), "1.0.0.0");
}

TEST(FileVersionTest, AModuleInAFolderBeyondMaxPathKnowsItsWholePathAndVersion) {
  test_support::TempDir temp;
  const auto folder = temp.path() / std::wstring(120, L'a') / std::wstring(120, L'b');
  std::filesystem::create_directories(folder);
  const auto copy = folder / test_support::OwnExecutable().filename();
  std::filesystem::copy_file(test_support::OwnExecutable(), copy);
  ASSERT_GT(copy.wstring().size(), 260u);
  // Wine starts no process from a folder this long, but loads a module.
  base::LoadedModule module(LoadLibraryExW(copy.c_str(), nullptr, 0));
  ASSERT_TRUE(module);
  EXPECT_EQ(ModuleFilePath(module.get()), copy.wstring());
  EXPECT_EQ(FileVersionOf(ModuleFilePath(module.get())), "2.4.6.8");
  module.reset();
  // Removing a whole folder does not reach this deep; one item at a time does.
  for (auto item = copy; item != temp.path(); item = item.parent_path()) {
    EXPECT_TRUE(std::filesystem::remove(item)) << item;
  }
}

}  // namespace
