#include "ipc/ipc_handlers.h"

#include <windows.h>

#include <string>
#include <system_error>
#include <thread>

#include "ipc/json_fields.h"
#include "ipc/shm/channel.h"

namespace ipc {
namespace {

using nlohmann::json;

// Whatever a callback throws ends its own work only: an uncaught exception on
// a thread of its own would end the whole process.
template <typename Work>
void RunDetached(Work work) {
  try {
    std::thread([work = std::move(work)]() mutable {
      try {
        work();
      } catch (...) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the message is dropped like an unhandled one.
  }
}

}  // namespace

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

bool Filtered(const std::shared_ptr<IpcPacket>& packet, ModuleId module) {
  return !packet || FilterReason(*packet, module, GetCurrentProcessId()) != DropReason::kNone;
}

void IpcQueryResponser::Register(std::int32_t query_id, QueryAnswerer answerer) {
  std::lock_guard lock(mutex_);
  answerers_[query_id] = std::move(answerer);
}

void IpcQueryResponser::Respond(const std::shared_ptr<IpcPacket>& packet) {
  std::int32_t query_id = 0;
  std::optional<json> argument;
  try {
    json_fields::ReadRequired(packet->data, "query_id", query_id, json_fields::Booleans::kRefused);
    argument = packet->data.at("data");
  } catch (const json::exception&) {
    return;
  }
  QueryAnswerer answerer;
  {
    std::lock_guard lock(mutex_);
    const auto found = answerers_.find(query_id);
    if (found == answerers_.end()) return;
    answerer = found->second;
  }
  RunDetached([stopped = stopped_, answerer = std::move(answerer), packet,
               argument = std::move(argument)] {
    const auto channel = shm::Channel::Open(*packet->response_channel, packet->uac.value_or(true));
    // A channel that cannot connect makes the send below fail by itself.
    static_cast<void>(channel->connect(shm::ConnectMode::kSender));
    if (*stopped) return;
    // dump() refuses text that is not UTF-8 by throwing: that answer is lost.
    std::string text = answerer(argument).dump();
    text.push_back('\0');
    // Nobody waits for the outcome: a refused answer is the asker's time-out.
    static_cast<void>(channel->send(text.data(), text.size(), 0));
  });
}

void IpcMsgHandler::Register(std::int32_t msg_id, MsgHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_[msg_id] = std::move(handler);
}

void IpcMsgHandler::SetObserver(std::function<void(const IpcPacket&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void IpcMsgHandler::Handle(const std::shared_ptr<IpcPacket>& packet) {
  if (Filtered(packet, static_cast<ModuleId>(module_.load()))) return;
  const bool query = packet->response_channel && !packet->response_channel->empty();
  std::function<void(const IpcPacket&)> observer;
  MsgHandler handler;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
    if (!query) {
      if (const auto found = handlers_.find(packet->msg_id); found != handlers_.end()) {
        handler = found->second;
      }
    }
  }
  if (observer) {
    try {
      observer(*packet);
    } catch (...) {
    }
  }
  if (query) {
    responser_->Respond(packet);
  } else if (handler) {
    RunDetached([handler = std::move(handler), packet] { handler(packet); });
  }
}

}  // namespace ipc
