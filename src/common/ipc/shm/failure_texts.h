#pragma once

// The lines the transport prints (see Print in diagnostics.h). Every other
// product process prints the same lines, and people and tools search logs and
// redirected streams for them: they are fixed wording. Do not reword, reorder
// or "tidy" them, not even where they look like stale copy-paste; the names
// in them (queue_of, chunk_storages, r_size...) are part of the text.
// Each goes to the stream named beside it.
namespace shm::text {

// Primitives.
inline constexpr char kInitializeSecurityDescriptor[] =
    "fail InitializeSecurityDescriptor[%d]\n";  // stderr
inline constexpr char kSetSecurityDescriptorDacl[] =
    "fail SetSecurityDescriptorDacl[%d]\n";                            // stderr
inline constexpr char kCreateMutex[] = "fail CreateMutex[%lu]: %s\n";  // stderr
inline constexpr char kMutexAbandoned[] =
    "fail WaitForSingleObject[%lu]: WAIT_ABANDONED, try again.\n";                // stdout
inline constexpr char kWaitFailed[] = "fail WaitForSingleObject[%lu]: 0x%08X\n";  // stderr
inline constexpr char kReleaseMutex[] = "fail ReleaseMutex[%lu]\n";               // stderr
inline constexpr char kCreateSemaphore[] = "fail CreateSemaphore[%lu]: %s\n";     // stderr
inline constexpr char kReleaseSemaphore[] = "fail ReleaseSemaphore[%lu]\n";       // stderr
inline constexpr char kAcquireEmptyName[] = "fail acquire: name is empty\n";      // stderr
inline constexpr char kCreateFileMapping[] =
    "fail CreateFileMapping/OpenFileMapping[%d]: %s\n";                             // stderr
inline constexpr char kNoMappingHandle[] = "fail to_mem: invalid id (h = null)\n";  // stderr
inline constexpr char kMapViewOfFile[] = "fail MapViewOfFile[%d]\n";                // stderr
inline constexpr char kVirtualQuery[] = "fail VirtualQuery[%d]\n";                  // stderr
inline constexpr char kReleaseNoView[] =
    "fail release: invalid id (mem = %p, size = %zd)\n";                             // stderr
inline constexpr char kReleaseNoHandle[] = "fail release: invalid id (h = null)\n";  // stderr

// Channel: sending.
inline constexpr char kSendArguments[] = "fail: send(%p, %zd)\n";                       // stderr
inline constexpr char kSendNoRing[] = "fail: send, queue_of(h)->elems() == nullptr\n";  // stderr
inline constexpr char kSendNoReceiver[] =
    "fail: send, there is no receiver on this connection.\n";  // stderr
inline constexpr char kSendNoMessageCounter[] =
    "fail: send, info_of(h)->acc() == nullptr\n";  // stderr
inline constexpr char kForcePushMessage[] =
    "force_push: msg_id = %zd, remain = %d, size = %zd\n";                                // stdout
inline constexpr char kForcePushCutOff[] = "force_push: k = %u, cc = %u, rem_cc = %u\n";  // stdout
inline constexpr char kClearMessageSize[] = "[clear_message] invalid msg size: %d\n";     // stderr
inline constexpr char kReleaseStorageId[] =
    "[release_storage] id is invalid: id = %ld, size = %zd\n";  // stderr

// Channel: receiving and chunks.
inline constexpr char kReceiveSize[] = "fail: recv, r_size = %d\n";  // stderr
inline constexpr char kFindStorageId[] =
    "[find_storage] id is invalid: id = %ld, size = %zd\n";  // stderr
inline constexpr char kChunkMissing[] =
    "fail: shm::handle for large message. msg_id: %zd, buf_id: %zd, size: %zd\n";  // stdout
inline constexpr char kRecycleStorageId[] =
    "[recycle_storage] id is invalid: id = %ld, size = %zd\n";  // stderr
inline constexpr char kChunkBlockAcquire[] =
    "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = %zd\n";  // stderr
inline constexpr char kChunkBlockGet[] =
    "[chunk_storages] chunk_shm.id_info_.get failed: chunk_size = %zd\n";  // stderr

// Ours alone (peers do not recover), but tests and people look for it all the
// same: a receiver that lost its place on the channel and connected afresh.
inline constexpr char kReceiverReconnects[] =
    "[recv] receiver %u %s at cursor %u: reconnected as receiver %u, messages in flight are "
    "lost\n";  // stderr

}  // namespace shm::text
