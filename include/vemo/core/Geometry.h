/// \file
/// Small geometry values that reflected members may have: points, rectangles, vectors,
/// quaternions and 4x4 matrices. Plain structures of their fields, compared field by field.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

template <class T>
struct Point_T {
  T x = 0, y = 0;
  Point_T() = default;
  Point_T(T x_, T y_) : x(x_), y(y_) {}
  bool operator==(const Point_T& o) const { return x == o.x && y == o.y; }
  bool operator!=(const Point_T& o) const { return !(*this == o); }
};

template <class T>
struct Rect_T {
  T left = 0, top = 0, right = 0, bottom = 0;
  Rect_T() = default;
  Rect_T(T left_, T top_, T right_, T bottom_)
      : left(left_), top(top_), right(right_), bottom(bottom_) {}
  T width() const { return right - left; }
  T height() const { return bottom - top; }
  bool operator==(const Rect_T& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  bool operator!=(const Rect_T& o) const { return !(*this == o); }
};

struct Vector2 {
  float x = 0, y = 0;
  Vector2() = default;
  Vector2(float x_, float y_) : x(x_), y(y_) {}
  bool operator==(const Vector2& o) const { return x == o.x && y == o.y; }
  bool operator!=(const Vector2& o) const { return !(*this == o); }
};

struct Vector3 {
  float x = 0, y = 0, z = 0;
  Vector3() = default;
  Vector3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
  bool operator==(const Vector3& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const Vector3& o) const { return !(*this == o); }
};

struct Vector4 {
  float x = 0, y = 0, z = 0, w = 0;
  Vector4() = default;
  Vector4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  bool operator==(const Vector4& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
  bool operator!=(const Vector4& o) const { return !(*this == o); }
};

struct Quaternion {
  float x = 0, y = 0, z = 0, w = 0;
  Quaternion() = default;
  Quaternion(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  bool operator==(const Quaternion& o) const {
    return x == o.x && y == o.y && z == o.z && w == o.w;
  }
  bool operator!=(const Quaternion& o) const { return !(*this == o); }
};

/// A 4x4 matrix of floats, row by row.
struct VEMO_CORE_API Matrix4 {
  float m[4][4] = {};
  Matrix4() = default;
  bool operator==(const Matrix4& o) const;
  bool operator!=(const Matrix4& o) const { return !(*this == o); }

  static const Matrix4 IDENTITY;  ///< 1 on the diagonal
  static const Matrix4 ZERO;
};

using Point = Point_T<int>;
using Pointf = Point_T<float>;
using Rect = Rect_T<int>;
using Rectf = Rect_T<float>;

}  // namespace vemo
