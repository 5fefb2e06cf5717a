// The measurement store: what the console last sent on the data channel (the pose and points of
// the last point message, the digitizer buttons, whether it scans and acquires) and which sensor
// its point messages are for, shared by the data thread that writes it and the threads that read
// it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread.h"
#include "shell/MeasureRecord.h"

// Room for the last block of points inside the store, so no block ever allocates.
constexpr int POINT_CAPACITY = 15011;

// Threads: the data thread writes the last message, the buttons and the console's state; an
// acquisition thread copies the message and takes the buttons; the host's thread (and a recovery
// on any thread) reads the console's state and the sensor choice. Nobody touches the fields but
// through these functions.
//
// Locks: m_measureLock guards the last message. It is held for one message's store or one copy,
// and no other lock of the library is taken under it; the rest are atomics, each with the rule
// written at its declaration. The store never blocks and never calls out.
class MeasurementStore {
 public:
  MeasurementStore();
  MeasurementStore(const MeasurementStore&) = delete;
  MeasurementStore& operator=(const MeasurementStore&) = delete;

  // The data thread's write of one point message: holds the store's lock for its scope, so that
  // no copy sees half of it. m_dataReady is raised by the caller after the scope (Publish).
  class KVT_SCOPED_CAPABILITY Message {
   public:
    explicit Message(MeasurementStore& store) KVT_ACQUIRE(store.m_measureLock);
    ~Message() KVT_RELEASE();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // Where the message goes, for as long as the scope holds the lock.
    double* position() const { return m_position; }
    double* direction() const { return m_direction; }
    // Room for POINT_CAPACITY points of three doubles.
    double* points() const { return m_points; }
    void setPointCount(std::int32_t count) const { *m_pointCount = count; }

   private:
    MeasurementStore& m_store;
    // Taken under the lock by the constructor: the analysis then needs no word on the accesses.
    double* m_position = nullptr;
    double* m_direction = nullptr;
    double* m_points = nullptr;
    std::int32_t* m_pointCount = nullptr;
  };

  // Announces a stored message or button event: set after everything it announces. Data thread.
  void Publish() { m_dataReady = true; }

  // A digitizer button as the console reports it: code 1 flips the trigger toggle, any other
  // code becomes the pending event. Data thread.
  void ButtonPressed(std::int32_t code);

  // The console's notices. Data thread.
  void ScanBegan();
  // DATA_END has arrived: the console has finished its scan; the flags follow after the data
  // channel's pause (ScanEnded).
  void ScanEndReported() { m_scanEndArrived = true; }
  // DATA_END: scanning and acquisition are over.
  void ScanEnded();
  // The console's acquisition switched on or off.
  void ConsoleAcquiring(bool on);

  // The link to the console came down or starts again: what the console reported before no
  // longer counts. A scan it reported is still owed its stop (ScanStopOwed). Any thread.
  void LinkRestarted();
  // The plug-in ended the console's acquisition itself (a measurement's stop, the settings
  // window's OK or Cancel). Any thread.
  void ClearConsoleAcquiring();

  // The console reports that scanning runs. Any thread.
  [[nodiscard]] bool ScanRunning() const { return m_scanRunning == kScanning; }
  // The console was reported scanning when the link came down, and nothing since said it
  // stopped: a stop of the measurement still sends it the scan stop. Any thread.
  [[nodiscard]] bool ScanStopOwed() const { return m_scanRunning == kStopOwed; }
  // The scan stop has been sent for a scan that the link had forgotten.
  void ScanStopSent();
  // The console's end notice has arrived since it last reported scanning. Any thread.
  [[nodiscard]] bool ScanEndArrived() const { return m_scanEndArrived; }

  // Acquisition is on: the console reported it on, or a measurement's acquisition runs.
  [[nodiscard]] bool Acquiring() const { return m_acquiring.load() != 0; }
  // A measurement's acquisition starts or ends. Acquisition control only.
  void MeasurementAcquiring(bool on);

  // The sensor the point messages are for: laser stripes are stored only while the laser is the
  // active sensor, probe points only while it is not; with automatic detection a probe message
  // hands over a point. Any thread.
  [[nodiscard]] bool LaserActive() const { return m_laserActive != 0; }
  void SetLaserActive(bool active) { m_laserActive = active ? 1 : 0; }
  [[nodiscard]] bool AutoDetect() const { return m_autoDetect != 0; }
  void SetAutoDetect(bool on) { m_autoDetect = on ? 1 : 0; }

  // The acquisition side. Fresh data has been stored since the flag was last cleared.
  [[nodiscard]] bool DataReady() const { return m_dataReady; }
  void ClearDataReady() { m_dataReady = false; }
  [[nodiscard]] std::int32_t TriggerToggle() const { return m_triggerToggle; }
  // Takes a set trigger in one step, so that a press in between is never lost.
  [[nodiscard]] bool TakeTrigger() { return m_triggerToggle.exchange(0) != 0; }
  void ClearTrigger() { m_triggerToggle = 0; }
  [[nodiscard]] std::int32_t PendingButtonEvent() const { return m_buttonEvent; }
  // Takes the pending event (0: none) in one step.
  [[nodiscard]] std::int32_t TakeButtonEvent() { return m_buttonEvent.exchange(0); }
  void ClearButtonEvent() { m_buttonEvent = 0; }

  // Copies the last message: position and direction, and its points into points (room for
  // POINT_CAPACITY); returns its point count, 0 to POINT_CAPACITY. Any thread.
  std::int32_t CopyMessage(double position[3], double direction[3], double (*points)[3]) const
      KVT_EXCLUDES(m_measureLock);
  void CopyPosition(double position[3]) const KVT_EXCLUDES(m_measureLock);
  // The last message's point count as it was stored. Any thread.
  [[nodiscard]] std::int32_t PointCount() const KVT_EXCLUDES(m_measureLock);

 private:
  enum ScanState : int { kIdle, kScanning, kStopOwed };

  // The data thread writes it; LinkRestarted turns kScanning into kStopOwed, and ScanStopSent
  // turns kStopOwed back into kIdle. Each change is one compare-and-swap, so a begin or end from
  // the console between the look and the change is never overwritten.
  std::atomic<int> m_scanRunning{kIdle};
  // Raised by the data thread when DATA_END arrives, lowered by the next scan begin.
  std::atomic<bool> m_scanEndArrived{false};
  // Two bits of one meaning (acquisition is on): kConsoleBit, raised and lowered by the console's
  // notices and lowered by the plug-in's own stops and the link's restart; kMeasurementBit,
  // written only by acquisition control while a measurement's acquisition runs.
  static constexpr unsigned kConsoleBit = 1;
  static constexpr unsigned kMeasurementBit = 2;
  std::atomic<unsigned> m_acquiring{0};
  // Raised by the data thread after the message or button it announces is stored (Publish);
  // lowered only by a button-mode-2 thread when it starts.
  std::atomic<bool> m_dataReady{false};
  // The data thread flips and sets them; the acquisition thread takes and clears them, each in
  // one atomic step.
  std::atomic<std::int32_t> m_triggerToggle{0};
  std::atomic<std::int32_t> m_buttonEvent{0};
  // Written by the sensor queries and the measurement start, read by the data thread per message.
  std::atomic<std::int32_t> m_laserActive{0};
  std::atomic<std::int32_t> m_autoDetect{0};

  // Taken after the data channel's lock, which the data thread holds while it stores here.
  mutable platform::Lock m_measureLock;
  // The last point message; the record's pointers designate the arrays below.
  MeasureRecord m_measure KVT_GUARDED_BY(m_measureLock);
  double m_position[3] KVT_GUARDED_BY(m_measureLock);
  double m_direction[3] KVT_GUARDED_BY(m_measureLock);
  double m_points[POINT_CAPACITY][3] KVT_GUARDED_BY(m_measureLock);
};
