// Pose and point conversion into the scanner object's measurement fields.
#include "datachannel/PoseConversion.h"

#include "link/KvtScan3DLumora.h"
#include "platform/thread.h"

double DegreesToRadians(float degrees) {
  return static_cast<double>(degrees) * 3.141592653589 / 180.0;
}

GPointDouble PoseConversion::Direction(const PoseHeader& header) {
  rotZ_.InitRotOz(DegreesToRadians(header.rz));
  rotX_.InitRotOx(DegreesToRadians(header.rx));
  rotY_.InitRotOy(DegreesToRadians(header.ry));
  product_ = (rotZ_ * rotY_) * rotX_;
  return product_ * unitZ_;
}

static GPointDouble FirstPoint(const unsigned char* block) {
  return {GetFloat32(block), GetFloat32(block + 4), GetFloat32(block + 8)};
}

void PoseConversion::StoreLaserPoints(KvtScan3DLumora& scanner, const PoseHeader& header,
                                      const unsigned char* block) {
  {
    // The host reads the record in place during a sink call, under the same lock: it always
    // sees the pose and points of one message.
    platform::LockGuard guard(scanner.m_measureLock);
    if (scanner.m_laserActive == 0) {
      scanner.m_measure.pointCount = 0;
      scanner.m_direction[0] = 0.0;
      scanner.m_direction[1] = 0.0;
      scanner.m_direction[2] = 1.0;
      scanner.m_position[0] = 0.0;
      scanner.m_position[1] = 0.0;
      scanner.m_position[2] = 0.0;
    } else {
      scanner.m_measure.pointCount = header.numPoints;
      GPointDouble d = Direction(header);
      scanner.m_direction[0] = -d.x;
      scanner.m_direction[1] = -d.y;
      scanner.m_direction[2] = -d.z;
      scanner.m_position[0] = header.x;
      scanner.m_position[1] = header.y;
      scanner.m_position[2] = header.z;
      double* out = scanner.m_measure.points;
      const int floats = 3 * header.numPoints;
      for (int i = 0; i < floats; ++i) out[i] = GetFloat32(block + 4 * i);
    }
  }
  scanner.m_dataReady = true;
}

void PoseConversion::StoreProbe(KvtScan3DLumora& scanner, const GPointDouble& direction,
                                const unsigned char* block, const GPointDouble& handedOver) {
  {
    platform::LockGuard guard(scanner.m_measureLock);
    scanner.m_direction[0] = direction.x;
    scanner.m_direction[1] = direction.y;
    scanner.m_direction[2] = direction.z;
    GPointDouble position = FirstPoint(block);
    scanner.m_position[0] = position.x;
    scanner.m_position[1] = position.y;
    scanner.m_position[2] = position.z;
    if (scanner.m_autoDetect != 0) {
      scanner.m_measure.pointCount = 1;
      scanner.m_points[0][0] = handedOver.x;
      scanner.m_points[0][1] = handedOver.y;
      scanner.m_points[0][2] = handedOver.z;
    } else {
      scanner.m_measure.pointCount = 0;
    }
  }
  scanner.m_dataReady = true;
}

void PoseConversion::StoreProbeVector(KvtScan3DLumora& scanner, const PoseHeader& header,
                                      const unsigned char* block) {
  GPointDouble d = Direction(header);
  // A probe vector hands over the direction itself as its point.
  StoreProbe(scanner, d, block, d);
}

void PoseConversion::StoreProbePoint(KvtScan3DLumora& scanner, const PoseHeader& header,
                                     const unsigned char* block) {
  StoreProbe(scanner, Direction(header), block, FirstPoint(block));
}
