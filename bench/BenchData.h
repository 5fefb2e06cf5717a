// What the data-channel benchmarks share: a stripe as the console sends it, and a host sink whose
// record calls go to one function.
#pragma once

#include <cstdint>
#include <vector>

#include "shell/MeasureSink.h"
#include "wire/WireRecords.h"

namespace bench {

using Bytes = std::vector<unsigned char>;

// One laser stripe as the console sends it: the pose header message, then the point block
// message, its points numbered 0, 1, 2, ... coordinate by coordinate.
inline Bytes Stripe(int points, float x = 10) {
  Bytes bytes(4 + POSE_HEADER_SIZE + 4 + static_cast<std::size_t>(points) * POINT_WIRE_SIZE);
  PutInt32(bytes.data(), DATA_LASER_HEADER);
  PoseHeader header{};
  header.numPoints = points;
  header.x = x;
  header.rx = 30;
  EncodePoseHeader(header, bytes.data() + 4);
  unsigned char* block = bytes.data() + 4 + POSE_HEADER_SIZE;
  PutInt32(block, DATA_LASER_POINTS);
  for (int i = 0; i < 3 * points; ++i) PutFloat32(block + 4 + 4 * i, static_cast<float>(i));
  return bytes;
}

// A host sink that ignores everything but its records, which go to Take.
class RecordSink : public MeasureSink {
 public:
  void OnButtonEvent2() override {}
  void OnButtonEvent4() override {}
  void BeginMeasure() override {}
  void AddPassMeasure(MeasureRecord* record) override { Take(record); }
  void BeginPass() override {}
  void EndPass() override {}
  void AddFreeMeasure(MeasureRecord* record) override { Take(record); }
  void NotifyButton(std::int32_t /*button*/) override {}

 protected:
  virtual void Take(MeasureRecord* record) = 0;
};

}  // namespace bench
