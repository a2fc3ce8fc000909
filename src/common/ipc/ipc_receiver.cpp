#include "ipc/ipc_receiver.h"

#include <exception>
#include <string_view>
#include <system_error>
#include <thread>

#include "ipc/ipc_handlers.h"
#include "ipc/ipc_packet.h"
#include "ipc/ipc_quality_monitor.h"
#include "ipc/shm/channel.h"

namespace ipc {

IpcReceiver::IpcReceiver(std::shared_ptr<const std::atomic<bool>> stopped,
                         std::shared_ptr<IpcQualityMonitor> monitor,
                         std::shared_ptr<IpcMsgHandler> handler)
    : stopped_(std::move(stopped)), monitor_(std::move(monitor)), handler_(std::move(handler)) {}

IpcReceiver::~IpcReceiver() {
  if (task_.joinable()) task_.join();
}

bool IpcReceiver::Start(ModuleId module, bool global) {
  const std::string_view name = ModuleName(module);
  if (name == ModuleName(ModuleId::Unknown)) return false;
  channel_ = shm::Channel::Open(name, global);
  // A receive on an unconnected channel returns at once: a task started now
  // would only spin.
  if (!channel_->connect(shm::ConnectMode::kReceiver)) return false;
  base::KernelHandle finished(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!finished) return false;
  const HANDLE signal = finished.get();
  try {
    task_ = std::thread([this, signal] {
      Run();
      SetEvent(signal);
    });
  } catch (const std::system_error&) {
    return false;
  }
  finished_ = std::move(finished);
  return true;
}

bool IpcReceiver::Stop(DWORD wait_ms) {
  if (!finished_) return true;
  channel_->cancel_recv();
  return WaitForSingleObject(finished_.get(), wait_ms) == WAIT_OBJECT_0;
}

void IpcReceiver::Abandon() {
  if (task_.joinable()) task_.detach();
}

void IpcReceiver::Run() {
  for (;;) {
    std::string text;
    {
      const shm::ReceiveBuffer buffer = channel_->recv();
      if (*stopped_) return;
      if (buffer.empty() || buffer.size() == 0) continue;
      // Copied at once: the buffer may hold a shared chunk that its sender
      // waits to see released before it exits.
      text.assign(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    }
    try {
      std::optional<IpcPacket> packet = ParseReceivedPacket(text);
      if (!packet) continue;
      const std::int64_t cost =
          packet->send_time_us
              ? static_cast<std::int64_t>(NowMicroseconds() - *packet->send_time_us)
              : 0;
      monitor_->RecordRecv({static_cast<std::int32_t>(packet->from),
                            static_cast<std::int32_t>(packet->to), packet->msg_id},
                           cost);
      handler_->Handle(std::make_shared<IpcPacket>(std::move(*packet)));
    } catch (const std::exception&) {
      // The message is dropped; the next one is received as usual.
    }
  }
}

}  // namespace ipc
