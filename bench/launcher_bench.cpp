// How long the launcher takes to hand a request on, as ratios to a bare
// program that loads the same system libraries, all under the same Wine in
// one run (medians of alternating rounds, with the middle half's spread):
//   bare        the bare program: start to exit
//   no request  the launcher without arguments: start to exit
//   forward     an app launch to a running emulator client: start to exit,
//               and start to the client printing the packet
//   start       KestovaAssistant.exe started from the version folder: start to
//               the stand-in running
// then the phases of one forwarded request, from the launcher's benchmark
// build (KestovaLauncherPhases.exe, whose phase marks the product lacks), and
// the peak working set of the launcher and of the bare program.
// The VM is up as users meet it: its ready marker is held and a headless VM
// host and a Kestova.exe run (stand-ins), so the staleness test looks at the
// process list; the client that receives is a KestovaIpc listener holding
// the emulator client's markers.
// Run on a sample installation registered for the run and removed after it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "bus_process.h"
#include "phase_report.h"
#include "sample_install.h"
#include "stand_in_process.h"
#include "test_support.h"

namespace {

constexpr int kRounds = 30;
constexpr int kMemoryRounds = 3;
// Sent to the running emulator client.
constexpr wchar_t kForwardedRequest[] =
    L" --launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3";
// Never forwarded: the assistant is always started.
constexpr wchar_t kStartedRequest[] = L" --launch-proc-name KestovaAssistant.exe --from 3";
constexpr wchar_t kVmReadyMarker[] = L"VM_READY_304766663";

double Ms(FILETIME time) {
  return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                             time.dwLowDateTime) /
         10000.0;
}

// When the ended process was created and exited, on the clock of
// phase::SystemTimeMs.
std::pair<double, double> LifeMs(const base::KernelHandle& process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(process.get(), &created, &exited, &kernel, &user);
  return {Ms(created), Ms(exited)};
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double at = q * static_cast<double>(values.size() - 1);
  const size_t low = static_cast<size_t>(at);
  const size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

std::wstring Quoted(const std::filesystem::path& path) { return L"\"" + path.wstring() + L"\""; }

// A mapping the bare program and the launcher's benchmark build write their
// report into, named to them through the environment.
class ReportMapping {
 public:
  ReportMapping()
      : name_(test_support::UniqueName(L"kestova-bench-phases")),
        mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    sizeof(phase::Report), name_.c_str())),
        view_(mapping_ ? MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr) {}
  ~ReportMapping() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
  }
  ReportMapping(const ReportMapping&) = delete;
  ReportMapping& operator=(const ReportMapping&) = delete;

  bool valid() const { return view_ != nullptr; }
  const std::wstring& name() const { return name_; }
  void Clear() { *report() = {}; }
  phase::Report Read() const { return *report(); }

 private:
  phase::Report* report() const { return static_cast<phase::Report*>(view_); }
  std::wstring name_;
  base::KernelHandle mapping_;
  void* view_;
};

struct Row {
  const char* label;
  std::vector<double> values = {};
};

// The median and its ratio to the baseline's, then the median of the ratios
// of each round to the bare program's run of the same round (steadier on a
// busy machine), then the middle half of the values.
void PrintRow(const char* label, const std::vector<double>& values,
              const std::vector<double>& baseline) {
  std::vector<double> ratios;
  for (size_t i = 0; i < values.size() && i < baseline.size(); ++i) {
    ratios.push_back(values[i] / baseline[i]);
  }
  const double median = Quantile(values, 0.5);
  std::printf("%-46s %7.1f ms  %4.2f  %4.2f   [%.1f .. %.1f]\n", label, median,
              median / Quantile(baseline, 0.5), Quantile(ratios, 0.5), Quantile(values, 0.25),
              Quantile(values, 0.75));
}

constexpr const char* kPhaseNames[] = {"entry (loader, runtime)",
                                       "log started",
                                       "endpoint inited",
                                       "crash reporting started",
                                       "staleness tested",
                                       "foreground handed on",
                                       "readiness tested",
                                       "channel opened",
                                       "sent",
                                       "log ended",
                                       "shut down",
                                       "wWinMain returns"};
static_assert(std::size(kPhaseNames) == phase::kPhaseCount);

// The phases of the forwarded requests of one phase-marking build.
struct Timeline {
  std::filesystem::path program;
  std::vector<std::vector<double>> phases = std::vector<std::vector<double>>(phase::kPhaseCount);
  std::vector<double> created = {}, exited = {}, packet = {};

  void Add(double begin, std::pair<double, double> life, const phase::Report& report,
           double printed) {
    created.push_back(life.first - begin);
    exited.push_back(life.second - begin);
    packet.push_back(printed);
    for (size_t i = 0; i < phase::kPhaseCount; ++i) {
      if (report.ended_ms[i] != 0) phases[i].push_back(report.ended_ms[i] - begin);
    }
  }

  void Print(const std::vector<double>& bare_exit) const {
    std::printf("\nphases of one forwarded request, %s, from the start call:\n",
                program.string().c_str());
    std::printf("%-46s %7s    %7s\n", "", "at (ms)", "takes");
    double previous = Quantile(created, 0.5);
    std::printf("%-46s %7.1f\n", "process created", previous);
    for (size_t i = 0; i < phase::kPhaseCount; ++i) {
      if (phases[i].empty()) continue;
      const double at = Quantile(phases[i], 0.5);
      std::printf("%-46s %7.1f    %+7.1f\n", kPhaseNames[i], at, at - previous);
      previous = at;
    }
    std::printf("%-46s %7.1f    %+7.1f\n", "process exited", Quantile(exited, 0.5),
                Quantile(exited, 0.5) - previous);
    std::printf("%-46s %7.1f\n", "client printed the packet", Quantile(packet, 0.5));
    if (phases[0].empty() || phases[static_cast<size_t>(phase::Phase::kSent)].empty()) return;
    std::printf(
        "%-46s %7.1f\n", "entry to sent",
        Quantile(phases[static_cast<size_t>(phase::Phase::kSent)], 0.5) - Quantile(phases[0], 0.5));
    PrintRow("phase build, forward, start to exit", exited, bare_exit);
    PrintRow("phase build, forward, start to packet", packet, bare_exit);
  }
};

}  // namespace

// With a folder, its KestovaLauncherPhases.exe (another build's) is timed in
// the same rounds as this build's, for a comparison free of the machine's
// changing load.
int wmain(int argc, wchar_t** argv) {
  const std::filesystem::path bin = test_support::BinaryDir();
  const std::filesystem::path bare = bin / "bench_bare.exe";
  const std::filesystem::path launcher = bin / "KestovaLauncher.exe";
  const std::filesystem::path phased = bin / "KestovaLauncherPhases.exe";
  std::vector<Timeline> timelines{{phased}};
  if (argc > 1) timelines.push_back({std::filesystem::path(argv[1]) / "KestovaLauncherPhases.exe"});
  launcher_test::SampleInstall install;
  test_support::TempDir records;
  test_support::TempDir vm_processes;
  ReportMapping mapping;
  const std::wstring started_name = test_support::UniqueName(L"kestova-bench-started");
  const base::KernelHandle started(CreateEventW(nullptr, FALSE, FALSE, started_name.c_str()));
  const base::KernelHandle vm_ready(CreateMutexW(nullptr, TRUE, kVmReadyMarker));
  test_support::ProcessOptions options{
      .environment = {
          {L"TMP", install.temp().wstring()},
          {L"TEMP", install.temp().wstring()},
          {L"KESTOVA_STAND_IN_RECORD_DIR", records.path().wstring()},
          {L"KESTOVA_STAND_IN_STARTED", started_name},
      }};
  test_support::ProcessOptions reporting = options;
  reporting.environment[phase::kPhaseReportVariable] = mapping.name();

  const std::size_t forwarded = (2 + (argc > 1 ? 1 : 0)) * (kRounds + 1) + kMemoryRounds;
  ipc_test::BusProcess client(
      L"listen EmulatorClient --hold Global\\55DCE4A4-2426-4814-96E5-5E6419171E71"
      L" --idle-ms 60000 --count " +
      std::to_wstring(forwarded + 1));
  if (!mapping.valid() || !vm_ready || !client.WaitReady()) {
    std::fprintf(stderr, "the report mapping, the VM marker or the client could not be made\n");
    return 1;
  }
  // Stand-ins wait two minutes at most, and a busy machine's run outlasts
  // them: a headless host gone in the middle of a round would have the
  // staleness test end the client. They are replaced well before, each
  // generation in a folder of its own (a running copy cannot be overwritten).
  constexpr ULONGLONG kVmGenerationMs = 60000;
  std::unique_ptr<test_support::StandInProcess> headless, emulator;
  ULONGLONG vm_since = 0;
  int vm_generation = 0;
  const auto keep_vm_running = [&] {
    if (!headless || !emulator || !headless->running() || !emulator->running() ||
        GetTickCount64() - vm_since > kVmGenerationMs) {
      headless.reset();
      emulator.reset();
      const auto folder = vm_processes.path() / std::to_wstring(++vm_generation);
      headless = std::make_unique<test_support::StandInProcess>(folder, L"KBoxHeadless.exe");
      emulator = std::make_unique<test_support::StandInProcess>(folder, L"Kestova.exe");
      vm_since = GetTickCount64();
    }
    return headless->started() && emulator->started();
  };

  bool failed = false;
  const auto check = [&](bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "failed: %s\n", what);
    failed |= !ok;
  };
  // Start to exit of a run; with a packet, also start to the client printing it.
  const auto run = [&](const std::filesystem::path& program, const wchar_t* arguments,
                       const test_support::ProcessOptions& with, bool packet, double* printed) {
    const double begin = phase::SystemTimeMs();
    const base::KernelHandle process =
        test_support::StartProcess(program, Quoted(program) + arguments, with);
    if (packet) {
      check(client.NextLine(30000).has_value(), "packet printed");
      *printed = phase::SystemTimeMs() - begin;
    }
    check(test_support::WaitForExitCode(process) == 0, "exit code 0");
    return std::pair{begin, LifeMs(process)};
  };

  Row bare_exit{"bare program, start to exit"};
  Row idle_exit{"launcher, no request, start to exit"};
  Row forward_exit{"launcher, forward app launch, start to exit"};
  Row forward_packet{"launcher, forward app launch, start to packet"};
  Row assistant{"launcher, start the assistant, to stand-in"};

  // The kinds are taken in turn, so that a slower moment of a shared machine
  // weighs on each alike; the first round warms up and is not counted.
  for (int round = 0; round <= kRounds; ++round) {
    check(keep_vm_running(), "VM stand-ins");
    const bool counted = round > 0;
    double printed = 0;
    auto [begin, life] = run(bare, L"", options, false, nullptr);
    if (counted) bare_exit.values.push_back(life.second - begin);

    std::tie(begin, life) = run(launcher, L"", options, false, nullptr);
    if (counted) idle_exit.values.push_back(life.second - begin);

    std::tie(begin, life) = run(launcher, kForwardedRequest, options, true, &printed);
    if (counted) forward_exit.values.push_back(life.second - begin);
    if (counted) forward_packet.values.push_back(printed);

    for (Timeline& timeline : timelines) {
      mapping.Clear();
      std::tie(begin, life) = run(timeline.program, kForwardedRequest, reporting, true, &printed);
      if (counted) timeline.Add(begin, life, mapping.Read(), printed);
    }

    const double begin_start = phase::SystemTimeMs();
    const base::KernelHandle starting =
        test_support::StartProcess(launcher, Quoted(launcher) + kStartedRequest, options);
    check(WaitForSingleObject(started.get(), 30000) == WAIT_OBJECT_0, "assistant started");
    if (counted) assistant.values.push_back(phase::SystemTimeMs() - begin_start);
    check(test_support::WaitForExitCode(starting) == 0, "exit code 0");
  }

  // Peak working sets, as each program reports its own at its end.
  std::vector<double> bare_peak, idle_peak, forward_peak;
  for (int round = 0; round < kMemoryRounds; ++round) {
    double printed = 0;
    mapping.Clear();
    run(bare, L"", reporting, false, nullptr);
    bare_peak.push_back(static_cast<double>(mapping.Read().peak_working_set_bytes) / 1048576.0);
    mapping.Clear();
    run(phased, L"", reporting, false, nullptr);
    idle_peak.push_back(static_cast<double>(mapping.Read().peak_working_set_bytes) / 1048576.0);
    mapping.Clear();
    run(phased, kForwardedRequest, reporting, true, &printed);
    forward_peak.push_back(static_cast<double>(mapping.Read().peak_working_set_bytes) / 1048576.0);
  }
  client.PacketsSoFar(L"EmulatorClient", forwarded);

  std::printf(
      "%d alternating rounds under the same Wine: median, its ratio to the bare\n"
      "program's, median of the per-round ratios, [middle half]\n",
      kRounds);
  for (const Row* row : {&bare_exit, &idle_exit, &forward_exit, &forward_packet, &assistant}) {
    PrintRow(row->label, row->values, bare_exit.values);
  }
  std::vector<double> packet_lead;
  for (size_t i = 0; i < forward_packet.values.size(); ++i) {
    packet_lead.push_back(forward_packet.values[i] - bare_exit.values[i]);
  }
  std::printf("%-46s %7.1f ms  (per round: %.1f ms [%.1f .. %.1f])\n",
              "packet after the bare program's exit",
              Quantile(forward_packet.values, 0.5) - Quantile(bare_exit.values, 0.5),
              Quantile(packet_lead, 0.5), Quantile(packet_lead, 0.25), Quantile(packet_lead, 0.75));

  for (const Timeline& timeline : timelines) timeline.Print(bare_exit.values);

  const double bare_mb = Quantile(bare_peak, 0.5);
  std::printf("\npeak working set (median of %d)\n", kMemoryRounds);
  std::printf("%-46s %7.1f MB  1.00\n", "bare program", bare_mb);
  std::printf("%-46s %7.1f MB  %4.2f\n", "launcher, no request", Quantile(idle_peak, 0.5),
              Quantile(idle_peak, 0.5) / bare_mb);
  std::printf("%-46s %7.1f MB  %4.2f\n", "launcher, forward app launch",
              Quantile(forward_peak, 0.5), Quantile(forward_peak, 0.5) / bare_mb);
  if (failed) std::printf("some runs failed: the figures are not to be trusted\n");
  return failed ? 1 : 0;
}
