// The three acquisition thread procedures and the distance test they share.
#pragma once

// True when b lies within threshold of a: squared distance below threshold squared, or below
// 1e-10 for a threshold of exactly zero. Any NaN gives false.
bool WithinDistance(const double a[3], const double b[3], double threshold);

// Thread procedures; the argument is the scanner object. Each returns 0.
unsigned AcquireSingleShot(void* scanner);  // button mode 0: one record per trigger
unsigned AcquireToggled(void* scanner);     // button mode 1: a pass lasts while the toggle is set
unsigned AcquireScanPasses(void* scanner);  // button mode 2: each trigger flips the pass
