#pragma once

#include <windows.h>

#include <optional>

// The one security every kernel object shared with the product's other
// processes is created with: a null DACL, so that a process of any user or
// integrity level may open it. Built once per process.

// Not inheritable; null when the descriptor could not be built, so the
// objects get default security instead.
SECURITY_ATTRIBUTES* EveryoneSecurityAttributes();

// Why EveryoneSecurityAttributes is null: the call that failed and its error.
struct SecurityBuildFailure {
  enum class Step { InitializeDescriptor, SetDacl };
  Step step;
  DWORD error;
};
// Nothing when the attributes were built.
std::optional<SecurityBuildFailure> EveryoneSecurityFailure();
