// The measurement store's state changes and copies.
#include "datachannel/MeasurementStore.h"

#include <algorithm>
#include <cstring>

MeasurementStore::MeasurementStore()
    : m_measure{m_position, m_direction, &m_points[0][0], 0},
      m_position{0.0, 0.0, 0.0},
      m_direction{0.0, 0.0, 1.0} {
  // m_points is left as it is: only pointCount points of it are ever valid.
}

MeasurementStore::Message::Message(MeasurementStore& store) : m_store(store) {
  store.m_measureLock.lock();
  m_position = store.m_position;
  m_direction = store.m_direction;
  m_points = &store.m_points[0][0];
  m_pointCount = &store.m_measure.pointCount;
}

MeasurementStore::Message::~Message() { m_store.m_measureLock.unlock(); }

void MeasurementStore::ButtonPressed(std::int32_t code) {
  if (code != 1) {
    m_buttonEvent = code;
    return;
  }
  // The acquisition thread may take the toggle at the same moment: a flip is one step.
  std::int32_t toggle = m_triggerToggle.load();
  while (!m_triggerToggle.compare_exchange_weak(toggle, toggle == 0 ? 1 : 0)) {
  }
}

void MeasurementStore::ScanBegan() {
  m_scanEndArrived = false;
  m_scanRunning = kScanning;
}

void MeasurementStore::ScanEnded() {
  m_scanRunning = kIdle;
  m_acquiring.fetch_and(~kConsoleBit);
}

void MeasurementStore::ConsoleAcquiring(bool on) {
  if (on) {
    m_acquiring.fetch_or(kConsoleBit);
  } else {
    m_acquiring.fetch_and(~kConsoleBit);
  }
}

void MeasurementStore::LinkRestarted() {
  int scanning = kScanning;
  m_scanRunning.compare_exchange_strong(scanning, kStopOwed);
  m_acquiring.fetch_and(~kConsoleBit);
}

void MeasurementStore::ClearConsoleAcquiring() { m_acquiring.fetch_and(~kConsoleBit); }

void MeasurementStore::ScanStopSent() {
  int owed = kStopOwed;
  m_scanRunning.compare_exchange_strong(owed, kIdle);
}

void MeasurementStore::MeasurementAcquiring(bool on) {
  if (on) {
    m_acquiring.fetch_or(kMeasurementBit);
  } else {
    m_acquiring.fetch_and(~kMeasurementBit);
  }
}

std::int32_t MeasurementStore::CopyMessage(double position[3], double direction[3],
                                           double (*points)[3]) const {
  platform::LockGuard guard(m_measureLock);
  std::int32_t count = std::clamp<std::int32_t>(m_measure.pointCount, 0, POINT_CAPACITY);
  std::memcpy(position, m_position, sizeof m_position);
  std::memcpy(direction, m_direction, sizeof m_direction);
  std::memcpy(points, m_points, sizeof m_points[0] * static_cast<std::size_t>(count));
  return count;
}

void MeasurementStore::CopyPosition(double position[3]) const {
  platform::LockGuard guard(m_measureLock);
  std::memcpy(position, m_position, sizeof m_position);
}

std::int32_t MeasurementStore::PointCount() const {
  platform::LockGuard guard(m_measureLock);
  return m_measure.pointCount;
}
