#include "ipc/ipc_endpoint.h"

#include <windows.h>

#include <string>

#include "install/install_layout.h"
#include "ipc/ipc_handlers.h"
#include "ipc/ipc_quality_monitor.h"
#include "ipc/ipc_receiver.h"
#include "ipc/shm/channel.h"
#include "ipc/shm/chunk_registry.h"
#include "ipc/shm/primitives.h"
#include "system/named_objects.h"
#include "system/phase_marks.h"
#include "system/privileges.h"
#include "system/security.h"
#include "system/text.h"

namespace ipc {
namespace {

// The receiving task ends at once when told; this only bounds a task held up
// in a message observer.
constexpr DWORD kReceiverStopWaitMs = 4000;
// How long an exiting process keeps the chunks of its last packets alive for
// receivers that have not mapped them yet.
constexpr DWORD kSentChunksWaitMs = 2000;

}  // namespace

IpcEndpoint& IpcEndpoint::Instance() {
  // Never destroyed: handler threads may still use it while the process exits.
  static IpcEndpoint* const endpoint = [] {
    auto* const made = new IpcEndpoint(
        [] { return InstallLayout::Instance().RegistryKeyFor(ComponentKind::Other); });
    made->gives_process_identity_ = true;
    return made;
  }();
  return *endpoint;
}

IpcEndpoint::IpcEndpoint(StatisticsKey statistics_key)
    : statistics_key_(std::move(statistics_key)),
      stopped_(std::make_shared<std::atomic<bool>>(true)),
      query_responser_(std::make_shared<IpcQueryResponser>(stopped_)),
      msg_handler_(std::make_shared<IpcMsgHandler>(query_responser_)),
      quality_monitor_(std::make_shared<IpcQualityMonitor>()) {}

IpcEndpoint::~IpcEndpoint() { Shutdown(); }

void IpcEndpoint::Init(ModuleId module) {
  std::call_once(init_once_, [&] {
    module_id_ = static_cast<std::int32_t>(module);
    if (gives_process_identity_) SetLocalModule(module);
    msg_handler_->SetModule(module);
    *stopped_ = false;
    const bool global = IsElevated();
    receiver_ = std::make_unique<IpcReceiver>(stopped_, quality_monitor_, msg_handler_);
    receiving_ = receiver_->Start(module, global);
    inited_marker_ = std::make_unique<shm::HeldMutex>(InitedMutexName(module, global),
                                                      EveryoneSecurityAttributes());
  });
}

bool IpcEndpoint::Send(std::shared_ptr<IpcPacket> packet, std::optional<bool> global) {
  return TrySend(std::move(packet), global) == SendResult::kSent;
}

SendResult IpcEndpoint::TrySend(std::shared_ptr<IpcPacket> packet, std::optional<bool> global) {
  if (!packet) return SendResult::kUnnamedTarget;
  const std::string_view name = ModuleName(packet->to);
  if (name == ModuleName(ModuleId::Unknown)) return SendResult::kUnnamedTarget;
  if (*stopped_) return SendResult::kNotRunning;
  if (!global) global = IsModuleReady(packet->to, true);
  if (!IsModuleReady(packet->to, *global)) return SendResult::kTargetNotReady;
  phase::Mark(phase::Phase::kReadinessTested);

  const auto channel = shm::Channel::Open(name, *global);
  // A channel that cannot connect makes the send below fail by itself.
  static_cast<void>(channel->connect(shm::ConnectMode::kSender));
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
    // An endpoint shut down before it was initialised stays down: there is
    // no restart, and a receiver started now would never be stopped.
    std::call_once(init_once_, [] {});
    *stopped_ = true;
    if (receiver_ && !receiver_->Stop(kReceiverStopWaitMs)) {
      // The task is held up in an observer and will not see the stop in
      // time. Waiting longer would let an observer keep the process from
      // ever exiting, so the task is left to run: the receiver and its
      // channel are kept (never freed under it) along with what it shares
      // with this endpoint, and process exit ends the thread. It records no
      // more receipts once `stopped_` is set, so the reports below read the
      // receive table alone.
      receiver_->Abandon();
      static_cast<void>(receiver_.release());
    }
    receiver_.reset();
    // A chunk block lives only while some process maps it, and a receiver
    // maps it when it reads the message: leaving earlier would take the
    // packet with us. A receiver that is slower than that loses it; the
    // exit cannot wait for every peer.
    static_cast<void>(shm::WaitForSentChunksReleased(kSentChunksWaitMs));
    inited_marker_.reset();
    const std::wstring statistics_key = statistics_key_();
    quality_monitor_->ReportSend(statistics_key);
    quality_monitor_->ReportRecv(statistics_key);
  });
}

bool IsMarkerPresent(ModuleId module, bool global) {
  // A marker that we may not open (an elevated holder's, say) exists all the
  // same: its module is up. Another kind of object of that name is no marker.
  const MutexPresence presence = ProbeMutex(Utf8ToWide(InitedMutexName(module, global)));
  return presence == MutexPresence::kOpened || presence == MutexPresence::kRefused;
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

}  // namespace ipc
