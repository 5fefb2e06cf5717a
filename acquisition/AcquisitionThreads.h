// The acquisition threads: each polls the measurement store every 10 ms and calls the host's
// sink it was started with, from its own copy of the record, never under a lock of the library.
#pragma once

#include <atomic>

#include "datachannel/MeasurementStore.h"
#include "lifecycle/Lifecycle.h"
#include "platform/thread.h"
#include "shell/MeasureRecord.h"
#include "shell/MeasureSink.h"

class ConsoleLink;
class ScannerSettings;

// What a measurement works with: the lifecycle that starts its thread and makes its waits, the
// store it reads, the settings it follows and the link whose acquisition commands button mode 2
// sends.
struct AcquisitionParts {
  Lifecycle& lifecycle;
  MeasurementStore& store;
  ScannerSettings& settings;
  ConsoleLink& link;
};

// True when b lies within threshold of a: squared distance below threshold squared, or below
// 1e-10 for a threshold of exactly zero. Any NaN gives false.
[[nodiscard]] bool WithinDistance(const double a[3], const double b[3], double threshold);

// One acquisition thread's own state, on the heap from MeasureStart until the thread has ended
// and been collected (AcquisitionControl).
//
// Its stage says where the thread stands towards the host's code, and is what makes a stop safe
// from any thread at any moment: once a stop is asked for, no sink call begins; a thread is only
// ever ended by force while it is inside a sink call and not back in the library through one of
// its exports, never while it owns a lock of the library or is inside its bookkeeping. The stage
// is the only field two threads write; the thread handle is set before the thread runs and never
// changes, the record is the thread's own.
class AcquisitionRun {
 public:
  AcquisitionRun(const AcquisitionParts& parts, MeasureSink* measureSink)
      : m_parts(parts), m_sink(measureSink) {}
  AcquisitionRun(const AcquisitionRun&) = delete;
  AcquisitionRun& operator=(const AcquisitionRun&) = delete;

  // Asks the thread to stop; no sink call begins after this returns. Any thread.
  void RequestStop();
  // True while no stop was asked for and the thread has not ended on its own.
  [[nodiscard]] bool Active() const;
  // True while it is inside a sink call.
  [[nodiscard]] bool InHost() const;
  // Claims a thread that is inside a sink call for a forced end: true when it was, and from now
  // on it runs none of the library's code. A claimed thread that could not be ended must be
  // given back with ReleaseClaim, or it waits for ever.
  [[nodiscard]] bool ClaimForForcedEnd();
  void ReleaseClaim();

  // The thread's side: a sink call may begin (false once stopped); and the call has returned
  // (false when a stop came during it: the thread must end without another call).
  [[nodiscard]] bool EnterHost();
  [[nodiscard]] bool LeaveHost();
  // From inside a sink call the host calls an export: until the matching LeaveLibrary the thread
  // runs the library's code and may not be ended by force. A thread claimed for a forced end
  // waits here until the claim is given back. The thread itself only.
  void EnterLibrary();
  void LeaveLibrary();

  // The run whose acquisition thread is the calling thread; null on any other thread.
  [[nodiscard]] static AcquisitionRun* OfCallingThread(Lifecycle& lifecycle);
  // The thread ends on its own (a sink call threw): true unless a stop came first, in which case
  // the stopper has already cleared what the measurement raised.
  [[nodiscard]] bool EndOnItsOwn();

  // Copies the store's last message into the record: the host then reads a record that no other
  // thread writes, for as long as its call lasts.
  void TakeRecord();
  MeasureRecord* Record() { return &m_record; }

  const AcquisitionParts& Parts() const { return m_parts; }
  MeasureSink* Sink() const { return m_sink; }

  // The thread, set by its starter before the thread runs, with this run as its context.
  void SetThread(LibraryThread* thread) {
    m_thread = thread;
    thread->SetContext(this);
  }
  [[nodiscard]] LibraryThread* Thread() const { return m_thread; }

  // The next run in acquisition control's list of stopped runs; only that list, under its lock,
  // reads or writes it. A list through the runs themselves never allocates, so a stop can always
  // keep a thread that has not ended.
  AcquisitionRun*& NextStopped() { return m_nextStopped; }

  // Cycles that got as far as their decision (a button event, or the mode's step); written by
  // the thread only. A test that expects nothing to happen waits for a number of these, which
  // a sleep cannot promise on a loaded machine.
  [[nodiscard]] unsigned CyclesDone() const { return m_cyclesDone.load(); }
  void NoteCycle() { m_cyclesDone.fetch_add(1); }

 private:
  // The stage is the low bits of m_stage; above them, how many exports the thread is inside of
  // from its current sink call (kDepthUnit each).
  enum Stage : int {
    kRunning,        // in the library's code; may call the sink
    kInHost,         // inside a sink call
    kStopped,        // asked to stop; calls no sink again and ends at its next look
    kStoppedInHost,  // asked to stop while inside a sink call
    kForced,         // inside a sink call and claimed for a forced end: it runs nothing more
    kEnded,          // ended on its own, before any stop
  };
  static constexpr int kStageMask = 0xF;
  static constexpr int kDepthUnit = 0x10;
  static int StageOf(int state) { return state & kStageMask; }
  static bool InExport(int state) { return state >= kDepthUnit; }
  // Waits while the thread is claimed for a forced end; the claimer ends it or gives it back.
  void WaitWhileClaimed();

  const AcquisitionParts m_parts;
  MeasureSink* const m_sink;
  LibraryThread* m_thread = nullptr;
  AcquisitionRun* m_nextStopped = nullptr;
  std::atomic<int> m_stage{kRunning};
  std::atomic<unsigned> m_cyclesDone{0};
  double m_position[3] = {0.0, 0.0, 0.0};
  double m_direction[3] = {0.0, 0.0, 1.0};
  double m_points[POINT_CAPACITY][3];
  MeasureRecord m_record{m_position, m_direction, &m_points[0][0], 0};
};

// Every export holds one for its whole call: called from inside a sink call on an acquisition
// thread, the export runs the library's code, and for as long as it does that thread is never
// ended by force (a stop then waits for it instead). Elsewhere, and without a lifecycle (an inert
// library), it does nothing. It needs nothing that could fail to be had: the thread's record
// exists from before the thread ran.
class LibraryEntry {
 public:
  explicit LibraryEntry(Lifecycle* lifecycle)
      : m_run(lifecycle != nullptr ? AcquisitionRun::OfCallingThread(*lifecycle) : nullptr) {
    if (m_run != nullptr) m_run->EnterLibrary();
  }
  ~LibraryEntry() {
    if (m_run != nullptr) m_run->LeaveLibrary();
  }
  LibraryEntry(const LibraryEntry&) = delete;
  LibraryEntry& operator=(const LibraryEntry&) = delete;

 private:
  AcquisitionRun* const m_run;
};

// Thread procedures; the argument is the thread's AcquisitionRun. Each returns 0.
unsigned AcquireSingleShot(void* run);  // button mode 0: one record per trigger
unsigned AcquireToggled(void* run);     // button mode 1: a pass lasts while the toggle is set
unsigned AcquireScanPasses(void* run);  // button mode 2: each trigger flips the pass
