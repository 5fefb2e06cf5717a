// The host geometry library's 3 x 3 matrix and double-precision point, as the pose conversion
// uses them.
#pragma once

struct GPointDouble {
  double x;
  double y;
  double z;
};

// Right-handed rotations (counter-clockwise seen from the positive end of the axis) applied to
// column vectors.
class Matrix3x3 {
 public:
  Matrix3x3();

  void InitRotOx(double radians);
  void InitRotOy(double radians);
  void InitRotOz(double radians);

  Matrix3x3 operator*(const Matrix3x3& right) const;
  GPointDouble operator*(const GPointDouble& point) const;
  Matrix3x3& operator=(const Matrix3x3& other) = default;
  Matrix3x3(const Matrix3x3& other) = default;

  double m[3][3];
};
