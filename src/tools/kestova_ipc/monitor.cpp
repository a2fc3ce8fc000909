#include "monitor.h"

#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "ipc/ipc_handlers.h"
#include "ipc/ipc_packet.h"
#include "ipc/shm/channel.h"
#include "tool_output.h"

namespace bus {
namespace {

// The length of a well-formed UTF-8 sequence starting at `text[at]`; 0 when
// the bytes there are not one.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = at + 2; i < at + length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// The received text on one line: the wire's closing NUL left out, control
// bytes and bytes that are not UTF-8 written as \xNN, everything else as is.
std::string Printable(std::string_view text) {
  if (text.ends_with('\0')) text.remove_suffix(1);
  std::string line;
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    std::size_t length = byte >= 0x20 && byte != 0x7F ? 1 : 0;
    if (byte >= 0x80) length = Utf8SequenceAt(text, at);
    if (length == 0) {
      line += fmt::format("\\x{:02X}", byte);
      ++at;
    } else {
      line.append(text.substr(at, length));
      at += length;
    }
  }
  return line;
}

std::string LocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return fmt::format("{:02}:{:02}:{:02}.{:03}", now.wHour, now.wMinute, now.wSecond,
                     now.wMilliseconds);
}

// Judged by the receiving endpoint's own reading and filters.
ipc::DropReason WhyDropped(std::string_view text, ipc::ModuleId module,
                           std::optional<std::uint64_t> process) {
  ipc::DropReason why = ipc::DropReason::kNone;
  const std::optional<ipc::IpcPacket> packet = ipc::ParseReceivedPacket(text, why);
  return packet ? ipc::FilterReason(*packet, module, process) : why;
}

struct Watch {
  ipc::ModuleId module;
  std::string label;  // "Global\EmulatorClient"
  std::unique_ptr<shm::Channel> channel;
  std::thread task;
};

class Monitoring {
 public:
  explicit Monitoring(const BusCommand& command) : command_(command) {}

  void Run(Watch& watch) {
    while (!stopping_) {
      std::string text;
      {
        const shm::ReceiveBuffer buffer = watch.channel->recv();
        if (buffer.empty() || buffer.size() == 0) continue;
        // Copied at once, so a chunk goes back to its sender's pool.
        text.assign(reinterpret_cast<const char*>(buffer.data()), buffer.size());
      }
      const std::string time = LocalTime();
      std::string line = fmt::format("{}\t{}\t{}", time, watch.label, Printable(text));
      if (const auto why = WhyDropped(text, watch.module, command_.pid);
          why != ipc::DropReason::kNone) {
        line += fmt::format("\tdropped: {}", ipc::DropReasonText(why));
      }
      std::lock_guard lock(print_mutex_);
      RunEnd& end = RunEnd::Instance();
      if (end.Wanted(command_.count)) end.Printed(PrintLine(line));
    }
  }

  void Stop(std::vector<Watch>& watches) {
    stopping_ = true;
    for (Watch& watch : watches) watch.channel->cancel_recv();
    for (Watch& watch : watches) {
      if (watch.task.joinable()) watch.task.join();
    }
  }

 private:
  const BusCommand& command_;
  std::atomic<bool> stopping_{false};
  std::mutex print_mutex_;
};

}  // namespace

int Monitor(const BusCommand& command) {
  const std::vector<ipc::ModuleId> modules =
      command.watched.empty() ? ipc::NamedModules() : command.watched;
  std::vector<Watch> watches;
  for (const ipc::ModuleId module : modules) {
    const std::string_view name = ipc::ModuleName(module);
    for (const bool global : {true, false}) {
      Watch watch{module,
                  fmt::format("{}\\{}", global ? "Global" : "Local", name),
                  shm::Channel::Open(name, global),
                  {}};
      if (!watch.channel->connect(shm::ConnectMode::kReceiver)) {
        std::fprintf(
            stderr,
            "KestovaIpc: not watching %s: no free receiver place, or its ring cannot be mapped\n",
            watch.label.c_str());
        continue;
      }
      watches.push_back(std::move(watch));
    }
  }
  if (watches.empty()) return Refuse("no channel to watch");

  Monitoring monitoring(command);
  RunEnd& end = RunEnd::Instance();
  end.EndOnInterrupt();
  int result = kDone;
  for (Watch& watch : watches) {
    try {
      watch.task = std::thread([&monitoring, &watch] { monitoring.Run(watch); });
    } catch (const std::system_error&) {
      result = Refuse("cannot start a thread to watch {}", watch.label);
      end.End();
      break;
    }
  }
  end.Wait(command.count, std::nullopt);
  monitoring.Stop(watches);
  return result;
}

}  // namespace bus
