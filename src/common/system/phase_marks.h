#pragma once

// The phases of one launcher run, as the start-up benchmark shows them. Only
// the benchmark's own build of the launcher (KESTOVA_PHASE_MARKS, which links
// the recorder) notes when each phase ends; in the product every mark is an
// empty inline function and compiles to nothing.
namespace phase {

enum class Phase {
  kEntry,                  // wWinMain reached: loader and runtime start-up done
  kLogStarted,             // log writer running, command line queued
  kEndpointInited,         // receiving channel, its task and the inited marker
  kCrashReportingStarted,  // IFEO clean-up and the crash agent
  kStalenessTested,        // client's marker probed and its staleness decided
  kForegroundHandedOn,     // the client may take the foreground
  kReadinessTested,        // the target's inited marker looked up
  kChannelOpened,          // the target's channel connected as sender
  kSent,                   // packet placed in the target's ring
  kLogEnded,               // log writer drained and joined
  kShutDown,               // endpoint shut down, statistics stored
  kExit,                   // about to return from wWinMain
  kCount
};

#ifdef KESTOVA_PHASE_MARKS
// Notes the time; kExit also hands every note to the benchmark.
void Mark(Phase phase);
#else
inline void Mark(Phase) {}
#endif

// Marks the phase when the scope ends, on whichever path it ends.
class MarkOnExit {
 public:
  explicit MarkOnExit(Phase phase) : phase_(phase) {}
  ~MarkOnExit() { Mark(phase_); }
  MarkOnExit(const MarkOnExit&) = delete;
  MarkOnExit& operator=(const MarkOnExit&) = delete;

 private:
  Phase phase_;
};

}  // namespace phase
