// Pose and point conversion into the measurement store.
#include "datachannel/PoseConversion.h"

#include "datachannel/MeasurementStore.h"

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

static void Put(double* out, const GPointDouble& point) {
  out[0] = point.x;
  out[1] = point.y;
  out[2] = point.z;
}

void PoseConversion::StoreLaserPoints(MeasurementStore& store, const PoseHeader& header,
                                      const unsigned char* block) {
  {
    // Under the store's lock: the acquisition thread copies the pose and points of one message,
    // and the host then reads that copy.
    MeasurementStore::Message message(store);
    if (!store.LaserActive()) {
      message.setPointCount(0);
      Put(message.direction(), {0.0, 0.0, 1.0});
      Put(message.position(), {0.0, 0.0, 0.0});
    } else {
      message.setPointCount(header.numPoints);
      GPointDouble d = Direction(header);
      Put(message.direction(), {-d.x, -d.y, -d.z});
      Put(message.position(), {header.x, header.y, header.z});
      double* out = message.points();
      const int floats = 3 * header.numPoints;
      for (int i = 0; i < floats; ++i) out[i] = GetFloat32(block + 4 * i);
    }
  }
  store.Publish();
}

void PoseConversion::StoreProbe(MeasurementStore& store, const GPointDouble& direction,
                                const unsigned char* block, const GPointDouble& handedOver) {
  {
    MeasurementStore::Message message(store);
    Put(message.direction(), direction);
    Put(message.position(), FirstPoint(block));
    if (store.AutoDetect()) {
      message.setPointCount(1);
      Put(message.points(), handedOver);
    } else {
      message.setPointCount(0);
    }
  }
  store.Publish();
}

void PoseConversion::StoreProbeVector(MeasurementStore& store, const PoseHeader& header,
                                      const unsigned char* block) {
  GPointDouble d = Direction(header);
  // A probe vector hands over the direction itself as its point.
  StoreProbe(store, d, block, d);
}

void PoseConversion::StoreProbePoint(MeasurementStore& store, const PoseHeader& header,
                                     const unsigned char* block) {
  StoreProbe(store, Direction(header), block, FirstPoint(block));
}
