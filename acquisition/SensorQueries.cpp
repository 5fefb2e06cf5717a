// Sensor and probe queries: the sensor list, the active sensor, and the console options passed on
// from the host.
#include "acquisition/SensorQueries.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "wire/CommandCodes.h"
#include "wire/WireValues.h"

namespace {

constexpr float kMaxProbeDiameter = 50.0f;

// Copies text into a label as strncpy does (at most the field, NUL padded), then ends the field.
void SetLabel(SensorEntry& entry, const char* text) {
  std::strncpy(entry.label, text, SENSOR_LABEL_SIZE);
  entry.label[SENSOR_LABEL_SIZE - 1] = '\0';
}

void FinishEntry(SensorEntry& entry, double radius, std::int32_t kind, std::int32_t* count) {
  entry.label[SENSOR_LABEL_SIZE - 1] = '\0';
  entry.sensorKind = kind;
  entry.probeRadius = radius;
  entry.sensorType = *count + 1;
  ++*count;
}

}  // namespace

bool SensorQueries::QueryProbeDiameter(float* diameter) {
  unsigned char reply[PROBE_REPLY_SIZE] = {};
  ConsoleLink& link = m_parts.link;
  CommandOutcome outcome = link.Ask(CMD_PROBE_QUERY, reply, sizeof reply);
  if (outcome == CommandOutcome::kNotSent) {
    static_cast<void>(link.ReconnectAfterFailure());
    // The reply is awaited all the same; on the new connection none comes.
    static_cast<void>(link.ReceiveReply(reply, sizeof reply));
    return false;
  }
  if (outcome != CommandOutcome::kAnswered) return false;
  *diameter = GetFloat32(reply + PROBE_DIAMETER_OFFSET);
  return true;
}

std::int32_t SensorQueries::SensorGetList(SensorEntry* entries, std::int32_t /*unused*/,
                                          std::int32_t* count) {
  *count = 0;
  SetLabel(entries[0], "Automatic sensor detection (without compensation for probe).");
  FinishEntry(entries[0], 0.0, SENSOR_KIND_LASER, count);
  SetLabel(entries[1], "Lumora Laser Sensor");
  FinishEntry(entries[1], 0.0, SENSOR_KIND_LASER, count);

  float diameter = -1.0f;
  if (m_parts.link.Connected() && !QueryProbeDiameter(&diameter)) diameter = -1.0f;
  // NaN fails both comparisons and reads as unknown.
  if (diameter > 0.0f && diameter < kMaxProbeDiameter) {
    std::snprintf(entries[2].label, SENSOR_LABEL_SIZE, "Touch Probe :diam. %f \n",
                  static_cast<double>(diameter));
  } else {
    std::snprintf(entries[2].label, SENSOR_LABEL_SIZE, "Touch Probe :diam. unknown \n");
  }
  FinishEntry(entries[2], -1.0, SENSOR_KIND_PROBE, count);
  return 3;
}

std::int32_t SensorQueries::SensorGet(std::int32_t* type, double* radius, std::int32_t* kind) {
  auto answer = [&](std::int32_t t, double r, std::int32_t k) {
    if (type != nullptr) *type = t;
    if (radius != nullptr) *radius = r;
    if (kind != nullptr) *kind = k;
  };
  MeasurementStore& store = m_parts.store;
  ScannerSettings& settings = m_parts.settings;
  auto halfDiameter = [&settings] { return static_cast<double>(settings.ProbeDiameter()) * 0.5; };

  if (!m_parts.link.Connected()) return 2;
  if (store.Acquiring()) {
    // During an acquisition nothing is asked: a reply must not cross the measurement's traffic.
    answer(settings.SensorType(), halfDiameter(),
           store.LaserActive() ? SENSOR_KIND_LASER : SENSOR_KIND_PROBE);
    return 0;
  }
  if (store.AutoDetect() && !store.ScanRunning()) {
    if (type != nullptr) *type = SENSOR_TYPE_AUTOMATIC;
    unsigned char reply[4] = {};
    // Neither a failed send nor a short reply runs the recovery here: the host asks again.
    if (m_parts.link.AskWithoutRecovery(CMD_SENSOR_QUERY, reply, sizeof reply) !=
        CommandOutcome::kAnswered) {
      return 2;
    }
    if (GetInt32(reply) != 0) {
      store.SetLaserActive(true);
      answer(SENSOR_TYPE_AUTOMATIC, 0.0, SENSOR_KIND_LASER);
      return 0;
    }
    store.SetLaserActive(false);
    if (!store.Acquiring() && !store.ScanRunning()) {
      float diameter = 0.0f;
      if (QueryProbeDiameter(&diameter)) settings.SetProbeDiameter(diameter);
    }
    answer(SENSOR_TYPE_AUTOMATIC, halfDiameter(), SENSOR_KIND_PROBE);
    return 0;
  }
  if (store.LaserActive()) {
    answer(SENSOR_TYPE_LASER, 0.0, SENSOR_KIND_LASER);
  } else {
    answer(SENSOR_TYPE_PROBE, halfDiameter(), SENSOR_KIND_PROBE);
  }
  return 0;
}

std::int32_t SensorQueries::MouseSet(std::int32_t value) {
  m_parts.settings.SetMouseMode(value == 4 ? 1 : 0);
  m_parts.link.SendWithArgument(CMD_MOUSE_SET, m_parts.settings.MouseMode());
  return 0;
}

std::int32_t SensorQueries::SoundSet(std::int32_t value) {
  m_parts.settings.SetSound(value);
  m_parts.link.SendWithArgument(CMD_SOUND_SET, value);
  return 0;
}

std::int32_t SensorQueries::SensorSet(std::int32_t type) {
  MeasurementStore& store = m_parts.store;
  store.SetAutoDetect(false);
  m_parts.settings.SetSensorType(type);
  if (type == SENSOR_TYPE_LASER) {
    store.SetLaserActive(true);
  } else if (type == SENSOR_TYPE_PROBE) {
    store.SetLaserActive(false);
  } else if (type == SENSOR_TYPE_AUTOMATIC) {
    // The laser flag keeps its value until the console is next asked which sensor is active.
    store.SetAutoDetect(true);
  }
  return 0;
}

std::int32_t SensorQueries::SetDiameter(float diameter) {
  // -1 means "leave the diameter as it is"; a NaN is not -1 and is stored.
  if (diameter != -1.0f) m_parts.settings.SetProbeDiameter(diameter);
  return 0;
}
