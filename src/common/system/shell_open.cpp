#include "system/shell_open.h"

#include <shellapi.h>

std::size_t ShellCommandLineLength(const std::wstring& file, const std::wstring& parameters) {
  return file.size() + 3 + parameters.size() + 1;
}

DWORD ShellOpen(const std::wstring& file, const std::wstring& parameters,
                const std::wstring& directory) {
  if (ShellCommandLineLength(file, parameters) > kCommandLineLimit) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info) ? ERROR_SUCCESS : GetLastError();
}
