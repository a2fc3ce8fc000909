#pragma once

#include <string>

// Opens a kestova:// link: over IPC to the running store client, else by
// starting the store (or, for a toast link, the assistant) with the link on
// its command line. Whether it arrived is not learnt.
void LaunchSchema(const std::wstring& link);

// The link carries "kestova_toast_task_id" in any letter case.
[[nodiscard]] bool HasToastTaskId(const std::wstring& link);
