// Acquisition control: a measurement's start and stop, the acquisition thread it runs, and the
// stopped threads that have not ended yet.
#pragma once

#include <atomic>
#include <cstdint>

#include "acquisition/AcquisitionThreads.h"
#include "lifecycle/Lifecycle.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "shell/MeasureSink.h"

// Threads: MeasureStart and MeasureStop run on the host's thread, and may also be called from
// inside a sink call, that is on the acquisition thread itself, even while the host unloads the
// library; the unload's stop runs on the unloading thread. The running measurement is taken with
// one exchange by whichever stop comes first. m_runsLock guards the list of stopped threads and
// is held for the list's bookkeeping alone: no wait, command or host call happens under it, and
// no other lock is taken with it. The threads start and end through the lifecycle.
//
// What it never does: hold a lock while the host's code runs, end a thread by force while that
// thread is in the library's own code, or call the sink of a stopped measurement.
class AcquisitionControl {
 public:
  explicit AcquisitionControl(const AcquisitionParts& parts) : m_parts(parts) {}
  AcquisitionControl(const AcquisitionControl&) = delete;
  AcquisitionControl& operator=(const AcquisitionControl&) = delete;

  // 0 when the acquisition thread was started, 2 when the measurement cannot start (one exists,
  // the link is down, the console did not begin scanning, an unknown button mode, no thread).
  [[nodiscard]] std::int32_t MeasureStart(MeasureSink* sink);
  // 1 when no measurement exists, else 0 once it is stopped.
  [[nodiscard]] std::int32_t MeasureStop();
  // The stop, after the link's: stops and collects every acquisition thread, without running the
  // host's code, those that a start from a sink call still makes or holds included. A thread
  // that has not begun is ended at once; one in the library's own code ends within its bound (its
  // waits are cut short, its commands and recoveries fail at once); one inside the host's code is
  // ended by force after the stop's bound where the platform can, and where it cannot (POSIX) the
  // unload waits for the host's call to return, since the thread returns into the library's code.
  // At the end of the process the system has ended the threads: nothing is waited for.
  void Stop(StopMode mode) KVT_EXCLUDES(m_runsLock);

  // Whether a measurement exists (started and not yet stopped), and its sink as the host gave it.
  [[nodiscard]] bool MeasurementExists() const { return m_acquisition.load() != nullptr; }
  [[nodiscard]] MeasureSink* Sink() const { return m_sink.load(); }

 private:
  // MeasureStop's two parts: the console's acquisition and scanning switched off, then the
  // measurement's thread stopped and collected.
  void StopConsole();
  void StopThread() KVT_EXCLUDES(m_runsLock);
  // Stops the running measurement's thread, if any, and collects it (CollectRun); one that
  // cannot be collected yet joins m_stoppedRuns. Any thread, the acquisition thread included.
  void StopCurrentRun(unsigned waitMs, platform::WaitPause pause) KVT_EXCLUDES(m_runsLock);
  // Collects the stopped threads that have ended or end within waitMs each.
  void CollectStoppedRuns(unsigned waitMs, platform::WaitPause pause) KVT_EXCLUDES(m_runsLock);
  // Adds a run to the stopped runs; takes them all out of the list.
  void KeepStopped(AcquisitionRun* run) KVT_EXCLUDES(m_runsLock);
  [[nodiscard]] AcquisitionRun* TakeStopped() KVT_EXCLUDES(m_runsLock);
  // Waits at most waitMs for a stopped thread to end, dispatching the calling thread's messages
  // when pause says so; a thread that has not begun is kept from running the library's code;
  // one inside the host's own code then (not back in the library through an export) is ended by
  // force where the platform can, and at the unload so is one inside a call that may need the
  // loader lock; frees its record once it has ended. False (and nothing freed) while it runs on:
  // in the library's own code, which it leaves within a cycle or a command, inside a sink call on
  // POSIX, or when it is the calling thread. At the end of the process it has ended.
  [[nodiscard]] bool CollectRun(AcquisitionRun* run, unsigned waitMs, platform::WaitPause pause,
                                StopMode mode = StopMode::kUnload);
  // A run that its start made and cannot publish: its thread, which has not run, is kept from
  // running and collected, or kept with the stopped runs.
  void Withdraw(AcquisitionRun* run) KVT_EXCLUDES(m_runsLock);

  const AcquisitionParts m_parts;
  // The running measurement's thread and its own state; null when none exists. Set by
  // MeasureStart before the thread runs; taken with one exchange by whichever stop comes first.
  std::atomic<AcquisitionRun*> m_acquisition{nullptr};
  // The running measurement's sink as the host gave it; its thread calls its own copy. Set by
  // MeasureStart, cleared by the stops.
  std::atomic<MeasureSink*> m_sink{nullptr};
  // Threads that were stopped but had not ended when their stop returned: one stopped from its
  // own sink call, one in the library's own code past the wait, one inside a sink call on POSIX.
  // None calls a sink again; each start, and the unload, collects those that have ended.
  // Linked through AcquisitionRun::NextStopped, which this lock guards too.
  platform::Lock m_runsLock;
  AcquisitionRun* m_stoppedRuns KVT_GUARDED_BY(m_runsLock) = nullptr;
  // Runs made and not yet collected, wherever they are: running, in the list, or held for a
  // moment by a start that makes one or collects the list. The unload waits until none is left.
  std::atomic<int> m_liveRuns{0};
};
