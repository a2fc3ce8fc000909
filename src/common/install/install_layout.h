#pragma once

#include <string>
#include <string_view>

// Selects a product component's registry key.
enum class ComponentKind {
  Other = 0,  // the product key itself
  Kestova = 1,
  KestovaBox = 2,  // SOFTWARE\KestovaBox, outside the product key
  Image = 3,
  QletRuntime = 4,
  Brevik = 5,
  ZebApplet = 6,
};

// A per-user QWORD flag under the product key's "Mark" sub-key, written by
// other product components.
struct MarkFlag {
  std::wstring name;
  std::wstring key;
  // Present and not 0.
  bool IsSet() const;
};

// Where the product lives. Filled once from the product name; every accessor
// reads the registry and the file system afresh, and folders it returns are
// created when missing (failures ignored).
class InstallLayout {
 public:
  static InstallLayout& Instance();

  // Runs before any other accessor; until then every key is empty.
  void Init(std::wstring_view product_name);

  // Relative to a hive, e.g. SOFTWARE\Velmora\Kestova\Image.
  std::wstring RegistryKeyFor(ComponentKind kind) const;
  std::wstring EnvKey() const;

  // HKLM "InstallPath", else Program Files\Velmora\<product>; an empty value
  // stays empty.
  std::wstring InstallPath() const;
  std::wstring ApplicationDir() const;
  // The current user's "Version" unless missing or "1.0.0.0", then the
  // machine's, then "1.0.0.0".
  std::wstring ComponentVersion(ComponentKind kind) const;
  std::wstring ProductVersion() const;
  // ApplicationDir\<Kestova version>: where the product executables start from.
  std::wstring VersionedApplicationDir() const;
  std::wstring TempVendorDir() const;
  // Ends in a backslash.
  std::wstring TempProductDir() const;

  // The version folder holds KestovaStore.exe, Kestova.exe and KestovaSvr.exe.
  bool IsVersionComplete(const std::wstring& version) const;
  // Records a complete version as current in both hives; the result is that
  // of the current user's write. Writes nothing for an incomplete folder.
  [[nodiscard]] bool CommitVersion(const std::wstring& version) const;

  MarkFlag Mark(std::wstring name) const;

 private:
  std::wstring product_key_;
  std::wstring box_key_;
  std::wstring default_install_dir_;
};

// The file version of the module holding this code, "a.b.c.d", or "1.0.0.0".
std::string OwnFileVersion();
// The file version of an executable, or "1.0.0.0" without a version resource.
std::string FileVersionOf(const std::wstring& path);
