#include "pseudo_protocol.h"

#include <cwctype>
#include <map>

#include "install/install_layout.h"
#include "launcher/forwarding.h"
#include "launcher/launch_records.h"
#include "launcher/product_contract.h"
#include "log/logger.h"
#include "system/named_objects.h"
#include "system/shell_open.h"
#include "system/quoting.h"
#include "system/text.h"

namespace {

constexpr wchar_t kToastKey[] = L"kestova_toast_task_id";
// The assistant takes its link with every "&" written as this text.
constexpr wchar_t kAmpersand[] = L"&";
constexpr wchar_t kEscapedAmpersand[] = L"%c(26)";

std::wstring Lowered(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

}  // namespace

bool HasToastTaskId(const std::wstring& link) {
  return Lowered(link).find(kToastKey) != std::wstring::npos;
}

void LaunchSchema(const std::wstring& link) {
  LogLine("[info] pseudo protocol {}", WideToUtf8(link));
  const bool to_assistant = HasToastTaskId(link);
  const std::string text =
      WideToUtf8(to_assistant ? ReplaceAll(link, kAmpersand, kEscapedAmpersand) : link);

  if (!to_assistant && IsGlobalObjectPresent(product::kStoreClientMarker)) {
    // The store runs: a failed send is not followed by a second store.
    static_cast<void>(ForwardToClient(product::kStoreClientModule, product::Message::StoreLink,
                                      LinkContent{text}));
    return;
  }
  const wchar_t* const name = to_assistant ? product::kAssistantExe : product::kStoreClientExe;
  const std::wstring executable =
      InstallLayout::Instance().VersionedApplicationDir() + L"\\" + name;
  const std::map<std::string, std::string> options{{product::kPseudoProtocolOption, text}};
  const std::wstring parameters = ComposeOptions(options);
  // Started or not, nothing falls back: only a link cut short is worth a word.
  if (ShellOpen(executable, parameters, L"") == ERROR_FILENAME_EXCED_RANGE) {
    LogLine("[error] command line of {} characters exceeds the limit of {}, {} not started",
            ShellCommandLineLength(executable, parameters), kCommandLineLimit, WideToUtf8(name));
  }
}
