// The part the simulated sensor measures: a sphere on a plane, swept by a laser line that moves
// along X, and touched by the probe around the sphere.
#pragma once

#include <vector>

#include "wire/WireRecords.h"

// The sphere: centre on the plane z = 0 at the origin.
constexpr float PART_SPHERE_RADIUS = 25.0f;
// The sensor looks down at the line, tilted about X by this angle so that the pose carries a
// rotation: the plug-in's laser direction is then (0, sin 15°, -cos 15°).
constexpr float PART_SENSOR_TILT_DEGREES = 15.0f;
constexpr float PART_SENSOR_STANDOFF = 150.0f;

// Stripe number n (from 1) of the sweep: the header and pointCount points, three floats each.
// The sweep runs from x = -60 to 60 in steps of 0.5 and back. A stamped stripe carries n in the
// header's x and in every point's x, and the point's index in its y, so that a reader can tell
// whether a record arrived whole.
void makeStripe(int number, int pointCount, bool stamped, PoseHeader* header,
                std::vector<float>* points);

// Probe touch number n (from 1): a point on the sphere and a header whose angles turn the unit Z
// vector into the sphere's outward normal there. Stamped touches carry n in both x values.
void makeProbeTouch(int number, bool stamped, PoseHeader* header, float point[3]);
