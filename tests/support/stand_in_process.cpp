#include "stand_in_process.h"

#include "test_support.h"

namespace test_support {

std::filesystem::path CopyStandIn(const std::filesystem::path& folder, const std::wstring& name) {
  std::filesystem::create_directories(folder);
  const std::filesystem::path image = folder / name;
  // A copy already there may be running, and so cannot be overwritten.
  std::filesystem::copy_file(BinaryDir() / "stand_in.exe", image,
                             std::filesystem::copy_options::skip_existing);
  return image;
}

StandInProcess::StandInProcess(const std::filesystem::path& folder, const std::wstring& name,
                               const std::wstring& arguments)
    : image_(CopyStandIn(folder, name)) {
  const std::wstring ready_name = UniqueName(L"kestova-stand-in-ready");
  const std::wstring release_name = UniqueName(L"kestova-stand-in-release");
  const base::KernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str()));
  release_.reset(CreateEventW(nullptr, TRUE, FALSE, release_name.c_str()));
  std::wstring command_line =
      L"\"" + image_.wstring() + L"\" --signal " + ready_name + L" --wait " + release_name;
  if (!arguments.empty()) command_line += L" " + arguments;
  process_ = StartProcess(image_, command_line);
  if (!process_) return;
  id_ = GetProcessId(process_.get());
  const HANDLE waits[] = {ready.get(), process_.get()};
  started_ = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
}

StandInProcess::~StandInProcess() {
  if (release_) SetEvent(release_.get());
  if (process_ && WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
  }
}

bool StandInProcess::running() const {
  return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace test_support
