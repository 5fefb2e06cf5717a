// The 3 x 3 rotation matrix of the pose conversion.
#include "datachannel/Matrix3x3.h"

#include <cmath>

Matrix3x3::Matrix3x3() : m{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}} {}

void Matrix3x3::InitRotOx(double radians) {
  double c = std::cos(radians);
  double s = std::sin(radians);
  *this = Matrix3x3();
  m[1][1] = c;
  m[1][2] = -s;
  m[2][1] = s;
  m[2][2] = c;
}

void Matrix3x3::InitRotOy(double radians) {
  double c = std::cos(radians);
  double s = std::sin(radians);
  *this = Matrix3x3();
  m[0][0] = c;
  m[0][2] = s;
  m[2][0] = -s;
  m[2][2] = c;
}

void Matrix3x3::InitRotOz(double radians) {
  double c = std::cos(radians);
  double s = std::sin(radians);
  *this = Matrix3x3();
  m[0][0] = c;
  m[0][1] = -s;
  m[1][0] = s;
  m[1][1] = c;
}

Matrix3x3 Matrix3x3::operator*(const Matrix3x3& right) const {
  Matrix3x3 product;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      product.m[row][column] = m[row][0] * right.m[0][column] + m[row][1] * right.m[1][column] +
                               m[row][2] * right.m[2][column];
    }
  }
  return product;
}

GPointDouble Matrix3x3::operator*(const GPointDouble& p) const {
  return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z,
          m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z,
          m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z};
}
