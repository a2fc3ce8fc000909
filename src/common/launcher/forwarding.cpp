#include "launcher/forwarding.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "ipc/ipc_endpoint.h"
#include "ipc/ipc_packet.h"
#include "launcher/launch_records.h"
#include "launcher/option_names.h"
#include "log/logger.h"
#include "system/phase_marks.h"
#include "system/process_list.h"
#include "system/text.h"

namespace {

const wchar_t* ClientExecutable(ipc::ModuleId client) {
  switch (client) {
    case product::kEmulatorClientModule: return product::kEmulatorClientExe;
    case product::kStoreClientModule: return product::kStoreClientExe;
    default: return nullptr;
  }
}

// The option's value in UTF-8 (its empty default when not given).
std::string Utf8Value(const cmdline::parser& options, const wchar_t* name) {
  return WideToUtf8(options.get<std::wstring>(name).value_or(L""));
}

// The option's text when given, else empty (the parser's value of an option
// that was not given is its default, also empty; this says so plainly).
std::string GivenValue(const cmdline::parser& options, const wchar_t* name) {
  return options.is_given(name) ? Utf8Value(options, name) : std::string();
}

AppLaunchInfo AppLaunchFromOptions(const cmdline::parser& options, std::string package) {
  AppLaunchInfo info;
  info.pkg_name = std::move(package);
  info.source = options.get<int>(option::kFrom).value_or(0);
  info.deep_link = Utf8Value(options, option::kLaunchDeepLink);
  info.from_source = Utf8Value(options, option::kFromSource);
  if (options.is_given(option::kLaunchTvSeries)) {
    info.launch_tv_series = Utf8Value(options, option::kLaunchTvSeries);
  }
  return info;
}

// The record in an option's text, or nothing once the reason is logged under
// the caller's name.
template <typename Record>
[[nodiscard]] std::optional<Record> ParseRecordOption(const std::string& text,
                                                      LogFormat<const char*> parse_error) {
  try {
    return ParseRecordText(text).get<Record>();
  } catch (const nlohmann::json::exception& error) {
    LogLine(parse_error, error.what());
    return std::nullopt;
  }
}

// A value the record cannot be written with would make the whole packet
// unsendable; the series is dropped (kept present, empty) instead.
void DropUnwritableTvSeries(AppLaunchInfo& info) {
  if (!info.launch_tv_series || info.launch_tv_series->empty()) return;
  try {
    static_cast<void>(nlohmann::json(info).dump());
  } catch (const nlohmann::json::exception&) {
    info.launch_tv_series = std::string();
  }
}

}  // namespace

bool ForwardToClient(ipc::ModuleId client, product::Message message, nlohmann::json data) {
  return ForwardToClient(client, message, std::move(data), ProcessList::Take());
}

bool ForwardToClient(ipc::ModuleId client, product::Message message, nlohmann::json data,
                     const ProcessList& processes) {
  if (const wchar_t* executable = ClientExecutable(client)) {
    // Only a process that may take the foreground itself can pass it on;
    // when the grant fails the client simply stays where it is.
    if (const DWORD process_id = processes.FindIdByName(executable)) {
      static_cast<void>(AllowSetForegroundWindow(process_id));
    }
  }
  phase::Mark(phase::Phase::kForegroundHandedOn);
  auto packet =
      std::make_shared<ipc::IpcPacket>(client, static_cast<std::int32_t>(message), std::move(data));
  return ipc::IpcEndpoint::Instance().Send(std::move(packet), true);
}

bool NotifyCurrentKestova(const cmdline::parser& options, const ProcessList& processes) {
  using product::Message;
  constexpr ipc::ModuleId kClient = product::kEmulatorClientModule;

  if (const std::string text = GivenValue(options, option::kAppLaunchInfo); !text.empty()) {
    const auto info = ParseRecordOption<AppLaunchInfo>(text, "json parse error, error message: {}");
    return info && ForwardToClient(kClient, Message::AppLaunch, *info, processes);
  }

  if (std::string package = GivenValue(options, option::kLaunchPkgName); !package.empty()) {
    AppLaunchInfo info = AppLaunchFromOptions(options, std::move(package));
    if (const std::string extra = Utf8Value(options, option::kLaunchExtraData); !extra.empty()) {
      info.extra_data = ParseRecordOption<nlohmann::json>(
          extra, "launch extra data parse error, error message: {}");
    }
    DropUnwritableTvSeries(info);
    return ForwardToClient(kClient, Message::AppLaunch, info, processes);
  }

  if (const std::string text = GivenValue(options, option::kInstallAppInfo); !text.empty()) {
    auto info = ParseRecordOption<InstallAppInfo>(text, "json parse error, error message: {}");
    if (!info) return false;
    if (options.is_given(option::kOem)) info->oem = Utf8Value(options, option::kOem);
    return ForwardToClient(kClient, Message::AppInstall, *info, processes);
  }

  if (const std::string text = GivenValue(options, option::kOemStartVm); !text.empty()) {
    const auto info =
        ParseRecordOption<StartVMInfo>(text, "StartVMInfo json parse error, error message: {}");
    return info &&
           ForwardToClient(kClient, Message::OemStartVm, {{"oem_name", info->oem_name}}, processes);
  }

  if (const std::string text = GivenValue(options, option::kOemStopVm); !text.empty()) {
    const auto info =
        ParseRecordOption<StopVMInfo>(text, "StopVMInfo json parse error, error message: {}");
    return info &&
           ForwardToClient(kClient, Message::OemStopVm, {{"oem_name", info->oem_name}}, processes);
  }

  std::string package = GivenValue(options, option::kInstallPkgName);
  std::string path = GivenValue(options, option::kInstallFilePath);
  if (!package.empty() && !path.empty()) {
    InstallAppInfo info;
    info.pkg_name = std::move(package);
    info.file_path = std::move(path);
    info.from_source = GivenValue(options, option::kFromSource);
    if (options.is_given(option::kOem)) info.oem = Utf8Value(options, option::kOem);
    return ForwardToClient(kClient, Message::AppInstall, info, processes);
  }

  if (options.is_given(option::kQuit) && options.get<bool>(option::kQuit).value_or(false)) {
    return ForwardToClient(kClient, Message::Quit, "", processes);
  }
  return false;
}
