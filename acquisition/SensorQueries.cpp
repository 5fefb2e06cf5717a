// Sensor and probe queries: the sensor list, the active sensor, and the console options passed on
// from the host.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "link/KvtScan3DLumora.h"
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

bool KvtScan3DLumora::QueryProbeDiameter(float* diameter) {
  unsigned char reply[PROBE_REPLY_SIZE] = {};
  CommandOutcome outcome = m_commands.Exchange(CMD_PROBE_QUERY, nullptr, reply, sizeof reply);
  if (outcome == CommandOutcome::kNotSent) {
    ReconnectAfterFailure();
    // The reply is awaited all the same; on the new connection none comes.
    m_commands.Receive(reply, sizeof reply);
    return false;
  }
  if (outcome != CommandOutcome::kAnswered) return false;
  *diameter = GetFloat32(reply + PROBE_DIAMETER_OFFSET);
  return true;
}

std::int32_t KvtScan3DLumora::SensorGetList(SensorEntry* entries, std::int32_t /*unused*/,
                                            std::int32_t* count) {
  *count = 0;
  SetLabel(entries[0], "Automatic sensor detection (without compensation for probe).");
  FinishEntry(entries[0], 0.0, SENSOR_KIND_LASER, count);
  SetLabel(entries[1], "Lumora Laser Sensor");
  FinishEntry(entries[1], 0.0, SENSOR_KIND_LASER, count);

  float diameter = -1.0f;
  if (m_connected != 0 && !QueryProbeDiameter(&diameter)) diameter = -1.0f;
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

std::int32_t KvtScan3DLumora::SensorGet(std::int32_t* type, double* radius, std::int32_t* kind) {
  auto answer = [&](std::int32_t t, double r, std::int32_t k) {
    if (type != nullptr) *type = t;
    if (radius != nullptr) *radius = r;
    if (kind != nullptr) *kind = k;
  };
  auto halfDiameter = [this] { return static_cast<double>(m_probeDiameter.load()) * 0.5; };

  if (m_connected == 0) return 2;
  if (m_acquiring) {
    // During an acquisition nothing is asked: a reply must not cross the measurement's traffic.
    answer(m_sensorType, halfDiameter(),
           m_laserActive != 0 ? SENSOR_KIND_LASER : SENSOR_KIND_PROBE);
    return 0;
  }
  if (m_autoDetect != 0 && !m_scanRunning) {
    if (type != nullptr) *type = SENSOR_TYPE_AUTOMATIC;
    unsigned char reply[4] = {};
    // Neither a failed send nor a short reply runs the recovery here: the host asks again.
    if (m_commands.Exchange(CMD_SENSOR_QUERY, nullptr, reply, sizeof reply) !=
        CommandOutcome::kAnswered) {
      return 2;
    }
    if (GetInt32(reply) != 0) {
      m_laserActive = 1;
      answer(SENSOR_TYPE_AUTOMATIC, 0.0, SENSOR_KIND_LASER);
      return 0;
    }
    m_laserActive = 0;
    if (!m_acquiring && !m_scanRunning) {
      float diameter = 0.0f;
      if (QueryProbeDiameter(&diameter)) m_probeDiameter = diameter;
    }
    answer(SENSOR_TYPE_AUTOMATIC, halfDiameter(), SENSOR_KIND_PROBE);
    return 0;
  }
  if (m_laserActive != 0) {
    answer(SENSOR_TYPE_LASER, 0.0, SENSOR_KIND_LASER);
  } else {
    answer(SENSOR_TYPE_PROBE, halfDiameter(), SENSOR_KIND_PROBE);
  }
  return 0;
}

std::int32_t KvtScan3DLumora::MouseSet(std::int32_t value) {
  m_mouseMode = value == 4 ? 1 : 0;
  SendWithArgument(CMD_MOUSE_SET, m_mouseMode);
  return 0;
}

std::int32_t KvtScan3DLumora::SoundSet(std::int32_t value) {
  m_sound = value;
  SendWithArgument(CMD_SOUND_SET, m_sound);
  return 0;
}
