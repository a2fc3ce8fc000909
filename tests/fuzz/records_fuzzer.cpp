// Launch records from option text: the first byte picks the record, the rest
// is the text a partner or a link put on the command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "launcher/launch_records.h"

namespace {

// What was read is written as text for the next process, which reads the
// same record from it.
template <typename Record>
void ReadRecord(std::string_view text) {
  std::string written;
  try {
    written = nlohmann::json(ParseRecordText(text).get<Record>()).dump();
  } catch (const nlohmann::json::exception&) {
    return;
  }
  try {
    if (nlohmann::json(ParseRecordText(written).get<Record>()).dump() != written) std::abort();
  } catch (const nlohmann::json::exception&) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0: ReadRecord<AppLaunchInfo>(text); break;
    case 1: ReadRecord<InstallAppInfo>(text); break;
    case 2: ReadRecord<StartVMInfo>(text); break;
    case 3: ReadRecord<StopVMInfo>(text); break;
    case 4: ReadRecord<OpenFileInfo>(text); break;
    case 5: ReadRecord<OwnerWindowInfo>(text); break;
    default: ReadRecord<LinkInfo>(text); break;
  }
  return 0;
}
