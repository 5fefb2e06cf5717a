// What a measurement leaves in the host: the sink's counts, the records' poses and the points.
#pragma once

#include <cstddef>
#include <vector>

struct Point3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

// How often each sink operation was called.
struct SinkCounts {
  int measuresBegun = 0;  // BeginMeasure
  int passesBegun = 0;    // BeginPass
  int passesEnded = 0;    // EndPass
  int passRecords = 0;    // AddPassMeasure
  int freeRecords = 0;    // AddFreeMeasure
  std::size_t points = 0;
  int buttonNotices = 0;   // NotifyButton
  int buttonEvents2 = 0;   // OnButtonEvent2
  int buttonEvents4 = 0;   // OnButtonEvent4
  int droppedRecords = 0;  // records that could not be stored for lack of memory

  int records() const { return passRecords + freeRecords; }
};

// One record as the sink copied it: the sensor's pose and where its points sit in
// Recording::points.
struct RecordedPose {
  Point3 position;
  Point3 direction;
  std::size_t firstPoint = 0;
  std::size_t pointCount = 0;
  bool inPass = false;
};

struct Recording {
  SinkCounts counts;
  std::vector<RecordedPose> records;
  std::vector<Point3> points;
};
