#include "vemo/core/Geometry.h"

namespace vemo {
namespace {

Matrix4 identity() {
  Matrix4 matrix;
  for (int i = 0; i < 4; ++i)
    matrix.m[i][i] = 1.0f;
  return matrix;
}

}  // namespace

const Matrix4 Matrix4::IDENTITY = identity();
const Matrix4 Matrix4::ZERO;

bool Matrix4::operator==(const Matrix4& o) const {
  for (int row = 0; row < 4; ++row)
    for (int column = 0; column < 4; ++column)
      if (m[row][column] != o.m[row][column]) return false;
  return true;
}

}  // namespace vemo
