// The sensor and probe queries behind the exports: the sensor list, the active sensor, the probe
// diameter, and the console options passed on from the host.
#pragma once

#include <cstdint>

#include "acquisition/AcquisitionThreads.h"
#include "shell/SensorEntry.h"

// Threads: the one that calls the export (the host's, or an acquisition thread from inside a sink
// call). No state of its own: the choices live in the settings and the store, the questions go
// through the link. Holds no lock of its own.
class SensorQueries {
 public:
  explicit SensorQueries(const AcquisitionParts& parts) : m_parts(parts) {}

  // Fills the three entries of the host's array; always 3.
  std::int32_t SensorGetList(SensorEntry* entries, std::int32_t unused, std::int32_t* count);
  // The active sensor into the outputs that are not null; 0, or 2 when the link is down or the
  // console's answer did not come.
  [[nodiscard]] std::int32_t SensorGet(std::int32_t* type, double* radius, std::int32_t* kind);
  std::int32_t SensorSet(std::int32_t type);
  std::int32_t SetDiameter(float diameter);
  std::int32_t MouseSet(std::int32_t value);
  std::int32_t SoundSet(std::int32_t value);

  // Asks the console for the probe diameter; false when no diameter came (a failed send, which
  // also reconnects, or a short reply).
  [[nodiscard]] bool QueryProbeDiameter(float* diameter);

 private:
  const AcquisitionParts m_parts;
};
