// The acquisition threads: each polls the scanner object every 10 ms and calls the host's sink
// it was started with, from its own record, never under a lock of the library.
#pragma once

#include <atomic>

#include "link/KvtScan3DLumora.h"
#include "platform/thread.h"
#include "shell/MeasureRecord.h"
#include "shell/MeasureSink.h"

// True when b lies within threshold of a: squared distance below threshold squared, or below
// 1e-10 for a threshold of exactly zero. Any NaN gives false.
bool WithinDistance(const double a[3], const double b[3], double threshold);

// One acquisition thread's own state, on the heap from MeasureStart until the thread has ended
// and been collected (KvtScan3DLumora::CollectRun).
//
// Its stage says where the thread stands towards the host's code, and is what makes a stop safe
// from any thread at any moment: once a stop is asked for, no sink call begins; a thread is only
// ever ended by force while it is inside a sink call, never while it owns a lock of the library
// or is inside its bookkeeping.
struct AcquisitionRun {
  enum Stage : int {
    kRunning,        // in the library's code; may call the sink
    kInHost,         // inside a sink call
    kStopped,        // asked to stop; calls no sink again and ends at its next look
    kStoppedInHost,  // asked to stop while inside a sink call
    kForced,         // inside a sink call and claimed for a forced end: it runs nothing more
  };

  AcquisitionRun(KvtScan3DLumora& owner, MeasureSink* measureSink)
      : scanner(owner), sink(measureSink) {}
  AcquisitionRun(const AcquisitionRun&) = delete;
  AcquisitionRun& operator=(const AcquisitionRun&) = delete;

  // Asks the thread to stop; no sink call begins after this returns. Any thread.
  void RequestStop();
  // True while no stop was asked for.
  bool Active() const;
  // True while it is inside a sink call.
  bool InHost() const;
  // Claims a thread that is inside a sink call for a forced end: true when it was, and from now
  // on it runs none of the library's code. A claimed thread that could not be ended must be
  // given back with ReleaseClaim, or it waits for ever.
  bool ClaimForForcedEnd();
  void ReleaseClaim();

  // The thread's side: a sink call may begin (false once stopped); and the call has returned
  // (false when a stop came during it: the thread must end without another call).
  bool EnterHost();
  bool LeaveHost();

  // Copies the scanner's last message into the record under the measurement lock: the host
  // then reads a record that no other thread writes, for as long as its call lasts.
  void TakeRecord() KVT_EXCLUDES(scanner.m_measureLock);

  KvtScan3DLumora& scanner;
  MeasureSink* const sink;
  platform::Thread* thread = nullptr;
  std::atomic<int> stage{kRunning};
  // Cycles that got as far as their decision (a button event, or the mode's step); written by
  // the thread only. A test that expects nothing to happen waits for a number of these, which
  // a sleep cannot promise on a loaded machine.
  std::atomic<unsigned> cyclesDone{0};
  double position[3] = {0.0, 0.0, 0.0};
  double direction[3] = {0.0, 0.0, 1.0};
  double points[POINT_CAPACITY][3];
  MeasureRecord record{position, direction, &points[0][0], 0};
};

// Thread procedures; the argument is the thread's AcquisitionRun. Each returns 0.
unsigned AcquireSingleShot(void* run);  // button mode 0: one record per trigger
unsigned AcquireToggled(void* run);     // button mode 1: a pass lasts while the toggle is set
unsigned AcquireScanPasses(void* run);  // button mode 2: each trigger flips the pass
