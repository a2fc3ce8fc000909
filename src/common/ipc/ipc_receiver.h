#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>

#include "ipc/module_id.h"
#include "system/unique_resource.h"

namespace shm {
class Channel;
}

namespace ipc {

class IpcMsgHandler;
class IpcQualityMonitor;

// The receiving task of an endpoint: reads its module's channel, counts every
// packet that parses and hands it to the message handler. It shares what it
// uses with the endpoint, so that a task left running (see Abandon) never
// reads an endpoint that is gone.
class IpcReceiver {
 public:
  IpcReceiver(std::shared_ptr<const std::atomic<bool>> stopped,
              std::shared_ptr<IpcQualityMonitor> monitor, std::shared_ptr<IpcMsgHandler> handler);
  // Waits for the task to end (stop it first, or leave it); the channel is
  // never closed under it.
  ~IpcReceiver();
  IpcReceiver(const IpcReceiver&) = delete;
  IpcReceiver& operator=(const IpcReceiver&) = delete;

  // Connects to the module's channel and starts the task. Nothing is started
  // for a module without a name or when the channel cannot be connected.
  [[nodiscard]] bool Start(ModuleId module, bool global);
  // Ends the task's wait at once (the stop flag must already be set) and
  // waits for the task, at most `wait_ms`. True when it has ended.
  [[nodiscard]] bool Stop(DWORD wait_ms);
  // For a task that did not stop in time: it runs on unwaited, and this
  // object (with the channel the task reads) must then outlive it, that is,
  // never be destroyed.
  void Abandon();

 private:
  void Run();

  std::shared_ptr<const std::atomic<bool>> stopped_;
  std::shared_ptr<IpcQualityMonitor> monitor_;
  std::shared_ptr<IpcMsgHandler> handler_;
  std::unique_ptr<shm::Channel> channel_;
  std::thread task_;
  // Set when Run has returned, so that Stop can wait with a bound.
  base::KernelHandle finished_;
};

}  // namespace ipc
