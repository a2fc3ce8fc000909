#pragma once

#include <cstdint>

namespace shm {

// The id of a new channel object: a receiver skips the messages that carry
// its own id, so no two channel objects of any processes, in either
// namespace, may hold the same one. 0 when no counter can be mapped.
std::uint32_t TakeConnectionId(bool global);

}  // namespace shm
