#include "system/security.h"

#include <mutex>

namespace {

struct NullDaclSecurity {
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  std::optional<SecurityBuildFailure> failure;
};

const NullDaclSecurity& Built() {
  static NullDaclSecurity security;
  static std::once_flag once;
  std::call_once(once, [] {
    using Step = SecurityBuildFailure::Step;
    if (!InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION)) {
      security.failure = SecurityBuildFailure{Step::InitializeDescriptor, GetLastError()};
    } else if (!SetSecurityDescriptorDacl(&security.descriptor, TRUE, nullptr, FALSE)) {
      security.failure = SecurityBuildFailure{Step::SetDacl, GetLastError()};
    } else {
      security.attributes = {sizeof(security.attributes), &security.descriptor, FALSE};
    }
  });
  return security;
}

}  // namespace

SECURITY_ATTRIBUTES* EveryoneSecurityAttributes() {
  const NullDaclSecurity& security = Built();
  return security.failure ? nullptr : const_cast<SECURITY_ATTRIBUTES*>(&security.attributes);
}

std::optional<SecurityBuildFailure> EveryoneSecurityFailure() { return Built().failure; }
