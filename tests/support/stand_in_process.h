#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "system/unique_resource.h"

namespace test_support {

// The stand-in executable, copied as folder\name and started; it has done its
// setup (recorded, taken its mutex) when the constructor returns, and stays
// until the object is destroyed or the process is killed.
class StandInProcess {
 public:
  StandInProcess(const std::filesystem::path& folder, const std::wstring& name,
                 const std::wstring& arguments = L"");
  ~StandInProcess();
  StandInProcess(const StandInProcess&) = delete;
  StandInProcess& operator=(const StandInProcess&) = delete;

  bool started() const { return started_; }
  DWORD id() const { return id_; }
  HANDLE handle() const { return process_.get(); }
  const std::filesystem::path& image() const { return image_; }
  bool running() const;

 private:
  std::filesystem::path image_;
  base::KernelHandle release_;
  base::KernelHandle process_;
  DWORD id_ = 0;
  bool started_ = false;
};

// Copies the stand-in to folder\name (creating the folder) and returns the copy.
std::filesystem::path CopyStandIn(const std::filesystem::path& folder, const std::wstring& name);

}  // namespace test_support
