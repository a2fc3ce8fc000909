#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ipc/shm/ring.h"

// The chunk blocks a process uses, and the chunks it sent that are still
// being read.
namespace shm {

// The block of chunk size K, mapped on first use and kept until the process
// exits, so it outlives every channel object that used it. A receiver asks
// with `create` false: a block it would create could hold no message.
[[nodiscard]] std::optional<ChunkBlock> ChunkBlockOfSize(std::size_t chunk_size, bool create);

// Keeps a chunk this process sent in mind until its readers have let go of
// it (see WaitForSentChunksReleased).
void RememberSentChunk(const ChunkBlock& block, std::int32_t index, std::uint32_t readers);

// Waits until the receivers of every chunk message this process sent have
// released their chunks, at most `timeout_ms`. A process calls it before it
// exits, because the chunk block dies with the last process that maps it and
// a receiver may not have mapped it yet. True when nothing is left pending.
[[nodiscard]] bool WaitForSentChunksReleased(DWORD timeout_ms);

}  // namespace shm
