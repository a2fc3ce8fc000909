// How long the launcher takes to hand a request on, as ratios to a program
// that does nothing, all under the same Wine in one run (median of 20 starts
// each):
//   forward   an app launch to a running emulator client: start to exit, and
//             start to the client printing the packet
//   start     KestovaAssistant.exe started from the version folder: start to
//             the stand-in running
// Run on a sample installation registered for the run and removed after it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

#include "bus_process.h"
#include "sample_install.h"
#include "test_support.h"

namespace {

constexpr int kRuns = 20;
// Sent to the running emulator client.
constexpr wchar_t kForwardedRequest[] =
    L" --launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3";
// Never forwarded: the assistant is always started.
constexpr wchar_t kStartedRequest[] = L" --launch-proc-name KestovaAssistant.exe --from 3";

double Ms(FILETIME time) {
  return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                             time.dwLowDateTime) /
         10000.0;
}

// On the clock the system stamps a process's exit with, so that a run's
// exit can be read after waiting for something else.
double NowMs() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return Ms(now);
}

// When the ended process exited, on the clock of NowMs.
double ExitMs(const base::KernelHandle& process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(process.get(), &created, &exited, &kernel, &user);
  return Ms(exited);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return (values[values.size() / 2] + values[(values.size() - 1) / 2]) / 2;
}

// One warm-up run, then kRuns measured ones; each run returns its figures.
std::vector<std::vector<double>> Measure(const std::function<std::vector<double>()>& run) {
  run();
  std::vector<std::vector<double>> columns;
  for (int i = 0; i < kRuns; ++i) {
    const std::vector<double> figures = run();
    columns.resize(figures.size());
    for (size_t j = 0; j < figures.size(); ++j) columns[j].push_back(figures[j]);
  }
  return columns;
}

std::wstring Quoted(const std::filesystem::path& path) { return L"\"" + path.wstring() + L"\""; }

}  // namespace

int wmain() {
  const std::filesystem::path bin = test_support::BinaryDir();
  const std::filesystem::path idle = bin / "bench_trivial.exe";
  const std::filesystem::path launcher = bin / "KestovaLauncher.exe";
  launcher_test::SampleInstall install;
  test_support::TempDir records;
  const std::wstring started_name = test_support::UniqueName(L"kestova-bench-started");
  const base::KernelHandle started(CreateEventW(nullptr, FALSE, FALSE, started_name.c_str()));
  const test_support::ProcessOptions options{
      .environment = {
          {L"TMP", install.temp().wstring()},
          {L"TEMP", install.temp().wstring()},
          {L"KESTOVA_STAND_IN_RECORD_DIR", records.path().wstring()},
          {L"KESTOVA_STAND_IN_STARTED", started_name},
      }};
  ipc_test::BusProcess client(
      L"listen EmulatorClient --hold Global\\55DCE4A4-2426-4814-96E5-5E6419171E71"
      L" --idle-ms 60000 --count " +
      std::to_wstring(kRuns + 1 + 1 + 1));
  if (!client.WaitReady()) {
    std::fprintf(stderr, "the client did not start\n");
    return 1;
  }

  // The three are taken in turn, so that a slower moment of a shared
  // machine weighs on each alike.
  bool failed = false;
  const auto columns = Measure([&] {
    double begin = NowMs();
    const base::KernelHandle idle_process = test_support::StartProcess(idle, Quoted(idle), options);
    failed |= test_support::WaitForExitCode(idle_process) != 0;
    const double idle_exit = ExitMs(idle_process) - begin;

    begin = NowMs();
    const base::KernelHandle forwarding =
        test_support::StartProcess(launcher, Quoted(launcher) + kForwardedRequest, options);
    const bool printed = client.NextLine(30000).has_value();
    const double packet = NowMs() - begin;
    failed |= !printed || test_support::WaitForExitCode(forwarding) != 0;
    const double forward_exit = ExitMs(forwarding) - begin;

    begin = NowMs();
    const base::KernelHandle starting =
        test_support::StartProcess(launcher, Quoted(launcher) + kStartedRequest, options);
    failed |= WaitForSingleObject(started.get(), 30000) != WAIT_OBJECT_0;
    const double running = NowMs() - begin;
    failed |= test_support::WaitForExitCode(starting) != 0;
    return std::vector<double>{idle_exit, forward_exit, packet, running};
  });
  client.PacketsSoFar(L"EmulatorClient");

  const double idle_ms = Median(columns[0]);
  const double exit_ms = Median(columns[1]);
  const double packet_ms = Median(columns[2]);
  const double start_ms = Median(columns[3]);
  std::printf("median of %d starts, under the same Wine\n", kRuns);
  std::printf("%-48s %8.1f ms  1.00\n", "idle program, start to exit", idle_ms);
  std::printf("%-48s %8.1f ms  %4.2f\n", "forward app launch, start to exit", exit_ms,
              exit_ms / idle_ms);
  std::printf("%-48s %8.1f ms  %4.2f\n", "forward app launch, start to packet printed", packet_ms,
              packet_ms / idle_ms);
  std::printf("%-48s %8.1f ms  %4.2f\n", "start the assistant, start to stand-in running", start_ms,
              start_ms / idle_ms);
  if (failed) std::printf("some runs failed: the figures are not to be trusted\n");
  return failed ? 1 : 0;
}
