#include "ipc/ipc_endpoint.h"

#include <windows.h>

#include <string>

#include "ipc/ipc_handlers.h"
#include "ipc/ipc_quality_monitor.h"
#include "ipc/ipc_receiver.h"
#include "ipc/shm/channel.h"
#include "system/phase_marks.h"
#include "system/privileges.h"
#include "system/security.h"
#include "system/unique_resource.h"

namespace ipc {
namespace {

// The modules whose readiness Send checks: 10001 + n for each bit n.
constexpr std::uint32_t kTrackedModuleMask = 0x4027;
constexpr std::int32_t kFirstTrackedModule = 10001;
constexpr std::int32_t kTrackedModuleSpan = 15;

// The receiving task ends at once when told; this only bounds a task held up
// in a message observer.
constexpr DWORD kReceiverStopWaitMs = 4000;
// How long an exiting process keeps the chunks of its last packets alive for
// receivers that have not mapped them yet.
constexpr DWORD kSentChunksWaitMs = 2000;

}  // namespace

// The inited marker: a named mutex held from Init to Shutdown. When another
// process of the module holds it already, ours is one more handle to it.
class IpcEndpoint::Marker {
 public:
  Marker(ModuleId module, bool global)
      : mutex_(CreateMutexA(EveryoneSecurityAttributes(), TRUE,
                            InitedMutexName(module, global).c_str())),
        owned_(mutex_ && GetLastError() != ERROR_ALREADY_EXISTS) {}
  ~Marker() {
    if (owned_) ReleaseMutex(mutex_.get());
  }
  Marker(const Marker&) = delete;
  Marker& operator=(const Marker&) = delete;

 private:
  base::KernelHandle mutex_;
  bool owned_;
};

IpcEndpoint& IpcEndpoint::Instance() {
  // Never destroyed: handler threads may still use it while the process exits.
  static IpcEndpoint* const endpoint = new IpcEndpoint();
  return *endpoint;
}

IpcEndpoint::IpcEndpoint()
    : query_responser_(std::make_shared<IpcQueryResponser>(stopped_)),
      msg_handler_(std::make_shared<IpcMsgHandler>(query_responser_)),
      quality_monitor_(std::make_shared<IpcQualityMonitor>()) {}

void IpcEndpoint::Init(ModuleId module) {
  std::call_once(init_once_, [&] {
    module_id_ = static_cast<std::int32_t>(module);
    SetLocalModule(module);
    stopped_ = false;
    const bool global = IsElevated();
    receiver_ = std::make_unique<IpcReceiver>(stopped_, *quality_monitor_, *msg_handler_);
    receiving_ = receiver_->Start(module, global);
    inited_marker_ = std::make_unique<Marker>(module, global);
  });
}

bool IpcEndpoint::Send(std::shared_ptr<IpcPacket> packet, std::optional<bool> global) {
  return TrySend(std::move(packet), global) == SendResult::kSent;
}

SendResult IpcEndpoint::TrySend(std::shared_ptr<IpcPacket> packet, std::optional<bool> global) {
  if (!packet) return SendResult::kUnnamedTarget;
  const std::string_view name = ModuleName(packet->to);
  if (name == ModuleName(ModuleId::Unknown)) return SendResult::kUnnamedTarget;
  if (stopped_) return SendResult::kNotRunning;
  if (!global) global = IsModuleReady(packet->to, true);
  if (!IsModuleReady(packet->to, *global)) return SendResult::kTargetNotReady;
  phase::Mark(phase::Phase::kReadinessTested);

  const auto channel = shm::Channel::Open(name, *global);
  // A channel that cannot connect makes the send below fail by itself.
  channel->connect(shm::ConnectMode::kSender);
  phase::Mark(phase::Phase::kChannelOpened);
  packet->send_time_us = NowMicroseconds();
  const std::optional<std::string> text = packet->WireText();
  const bool sent = text && channel->send(text->data(), text->size(), 0);
  phase::Mark(phase::Phase::kSent);
  quality_monitor_->RecordSend({static_cast<std::int32_t>(packet->from),
                                static_cast<std::int32_t>(packet->to), packet->msg_id},
                               sent);
  if (!text) return SendResult::kNotUtf8;
  return sent ? SendResult::kSent : SendResult::kTransportRefused;
}

void IpcEndpoint::Shutdown() {
  std::call_once(shutdown_once_, [&] {
    stopped_ = true;
    if (receiver_ && !receiver_->Stop(kReceiverStopWaitMs)) {
      // The task is held up in an observer and will not see the stop in
      // time. Waiting longer would let an observer keep the process from
      // ever exiting, so the task is left to run: the receiver and its
      // channel are kept (never freed under it), the endpoint is never
      // destroyed, and process exit ends the thread. It records no more
      // receipts once `stopped_` is set, so the reports below read the
      // receive table alone.
      receiver_->Abandon();
      static_cast<void>(receiver_.release());
    }
    receiver_.reset();
    // A chunk block lives only while some process maps it, and a receiver
    // maps it when it reads the message: leaving earlier would take the
    // packet with us.
    shm::WaitForSentChunksReleased(kSentChunksWaitMs);
    inited_marker_.reset();
    quality_monitor_->ReportSend();
    quality_monitor_->ReportRecv();
  });
}

bool IsMarkerPresent(ModuleId module, bool global) {
  const base::KernelHandle mutex(
      OpenMutexA(MUTEX_ALL_ACCESS, FALSE, InitedMutexName(module, global).c_str()));
  // A marker that we may not open exists all the same.
  return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}

bool IsReadinessChecked(ModuleId module) {
  const std::int32_t offset = static_cast<std::int32_t>(module) - kFirstTrackedModule;
  return offset >= 0 && offset < kTrackedModuleSpan && (kTrackedModuleMask >> offset & 1) != 0;
}

bool IpcEndpoint::IsModuleReady(ModuleId module, bool global) {
  return !IsReadinessChecked(module) || IsMarkerPresent(module, global);
}

void IpcEndpoint::RegisterMsgHandler(std::int32_t msg_id,
                                     std::function<void(std::shared_ptr<IpcPacket>)> handler) {
  msg_handler_->Register(msg_id, std::move(handler));
}

void IpcEndpoint::RegisterQueryResponser(
    std::int32_t query_id, std::function<nlohmann::json(std::optional<nlohmann::json>)> responser) {
  query_responser_->Register(query_id, std::move(responser));
}

void IpcEndpoint::ObservePackets(std::function<void(const IpcPacket&)> observer) {
  msg_handler_->SetObserver(std::move(observer));
}

DropReason FilterReason(const IpcPacket& packet, ModuleId module,
                        std::optional<std::uint64_t> process) {
  if (packet.to != module) return DropReason::kOtherModule;
  const auto& target = packet.to_process_id;
  if (!target || (*target != 0 && process != *target)) return DropReason::kOtherProcess;
  if (!packet.handle_self_ipc.value_or(false) && process == packet.from_process_id.value_or(0)) {
    return DropReason::kOwnMessage;
  }
  return DropReason::kNone;
}

bool Filtered(const std::shared_ptr<IpcPacket>& packet) {
  return !packet || FilterReason(*packet, IpcEndpoint::Instance().module_id(),
                                 GetCurrentProcessId()) != DropReason::kNone;
}

}  // namespace ipc
