// Stripes and probe touches of the simulator's synthetic part.
#include "tools/console-sim/SyntheticPart.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kSweepStart = -60.0f;
constexpr float kSweepStep = 0.5f;
constexpr int kSweepSteps = 240;  // stripes from one end to the other
constexpr float kLineHalfWidth = 40.0f;
constexpr double kTouchElevation = 30.0 * kPi / 180.0;
constexpr double kTouchStep = 0.5;  // radians around the sphere between touches

float surfaceHeight(float x, float y) {
  float inside = PART_SPHERE_RADIUS * PART_SPHERE_RADIUS - x * x - y * y;
  return inside > 0.0f ? std::sqrt(inside) : 0.0f;
}

double degrees(double radians) { return radians * 180.0 / kPi; }

}  // namespace

void makeStripe(int number, int pointCount, bool stamped, PoseHeader* header,
                std::vector<float>* points) {
  int step = (number - 1) % (2 * kSweepSteps);
  if (step < 0) step += 2 * kSweepSteps;
  int fromStart = step <= kSweepSteps ? step : 2 * kSweepSteps - step;
  float x = kSweepStart + kSweepStep * static_cast<float>(fromStart);

  const double tilt = PART_SENSOR_TILT_DEGREES * kPi / 180.0;
  *header = PoseHeader{};
  header->numPoints = pointCount;
  header->x = stamped ? static_cast<float>(number) : x;
  header->y = static_cast<float>(-PART_SENSOR_STANDOFF * std::sin(tilt));
  header->z = static_cast<float>(PART_SENSOR_STANDOFF * std::cos(tilt));
  header->rx = PART_SENSOR_TILT_DEGREES;

  points->resize(3 * static_cast<std::size_t>(pointCount > 0 ? pointCount : 0));
  for (int i = 0; i < pointCount; ++i) {
    float* point = &(*points)[3 * static_cast<std::size_t>(i)];
    if (stamped) {
      point[0] = static_cast<float>(number);
      point[1] = static_cast<float>(i);
      point[2] = 0.0f;
      continue;
    }
    float y = pointCount == 1 ? 0.0f
                              : -kLineHalfWidth + 2.0f * kLineHalfWidth * static_cast<float>(i) /
                                                      static_cast<float>(pointCount - 1);
    point[0] = x;
    point[1] = y;
    point[2] = surfaceHeight(x, y);
  }
}

void makeProbeTouch(int number, bool stamped, PoseHeader* header, float point[3]) {
  double around = kTouchStep * (number - 1);
  double nx = std::cos(kTouchElevation) * std::cos(around);
  double ny = std::cos(kTouchElevation) * std::sin(around);
  double nz = std::sin(kTouchElevation);
  point[0] = stamped ? static_cast<float>(number) : static_cast<float>(PART_SPHERE_RADIUS * nx);
  point[1] = static_cast<float>(PART_SPHERE_RADIUS * ny);
  point[2] = static_cast<float>(PART_SPHERE_RADIUS * nz);

  // With rz = 0 the turned Z axis is (cos rx sin ry, -sin rx, cos rx cos ry).
  *header = PoseHeader{};
  header->numPoints = 1;
  header->x = point[0];
  header->y = point[1];
  header->z = point[2];
  header->rx = static_cast<float>(degrees(-std::asin(ny)));
  header->ry = static_cast<float>(degrees(std::atan2(nx, nz)));
}
