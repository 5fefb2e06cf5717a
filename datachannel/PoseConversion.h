// Pose and point conversion: the three point messages turned into the measurement store's
// double-precision pose and points.
#pragma once

#include "datachannel/Matrix3x3.h"
#include "wire/WireRecords.h"

class MeasurementStore;

// Degrees to radians with the constant the console's poses are defined with, multiplying first:
// 180 degrees is exactly 3.141592653589.
double DegreesToRadians(float degrees);

// The conversion state of the data thread: the matrices are made once and reused.
class PoseConversion {
 public:
  // d = ((Rz x Ry) x Rx) applied to the unit vector along Z.
  GPointDouble Direction(const PoseHeader& header);

  // Each stores one received message into the store and then raises its data-ready flag.
  // block holds header.numPoints points (0 to MAX_BLOCK_POINTS) as received.
  void StoreLaserPoints(MeasurementStore& store, const PoseHeader& header,
                        const unsigned char* block);
  void StoreProbeVector(MeasurementStore& store, const PoseHeader& header,
                        const unsigned char* block);
  void StoreProbePoint(MeasurementStore& store, const PoseHeader& header,
                       const unsigned char* block);

 private:
  void StoreProbe(MeasurementStore& store, const GPointDouble& direction,
                  const unsigned char* block, const GPointDouble& handedOver);

  Matrix3x3 rotX_;
  Matrix3x3 rotY_;
  Matrix3x3 rotZ_;
  Matrix3x3 product_;
  const GPointDouble unitZ_{0.0, 0.0, 1.0};
};
