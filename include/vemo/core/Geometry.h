/// \file
/// Small geometry values that reflected members may have: points, rectangles, vectors,
/// quaternions and 4x4 matrices. Plain structures of their fields, compared field by field.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

template <class T>
/// A point of two coordinates of type T.
struct Point_T {
  ///@{
  /// The coordinates.
  T x = 0, y = 0;
  ///@}
  /// All fields 0.
  Point_T() = default;
  /// The point (x_, y_).
  Point_T(T x_, T y_) : x(x_), y(y_) {}
  ///@{
  /// Field by field.
  bool operator==(const Point_T& o) const { return x == o.x && y == o.y; }
  bool operator!=(const Point_T& o) const { return !(*this == o); }
  ///@}
};

template <class T>
/// A rectangle by its edges, of type T; width and height are right - left and bottom - top.
struct Rect_T {
  ///@{
  /// The edges.
  T left = 0, top = 0, right = 0, bottom = 0;
  ///@}
  /// All fields 0.
  Rect_T() = default;
  /// The rectangle of these edges.
  Rect_T(T left_, T top_, T right_, T bottom_)
      : left(left_), top(top_), right(right_), bottom(bottom_) {}
  /// right - left.
  T width() const { return right - left; }
  /// bottom - top.
  T height() const { return bottom - top; }
  ///@{
  /// Field by field.
  bool operator==(const Rect_T& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  bool operator!=(const Rect_T& o) const { return !(*this == o); }
  ///@}
};

/// A vector of two floats.
struct Vector2 {
  ///@{
  /// The components.
  float x = 0, y = 0;
  ///@}
  /// All fields 0.
  Vector2() = default;
  /// The vector (x_, y_).
  Vector2(float x_, float y_) : x(x_), y(y_) {}
  ///@{
  /// Field by field.
  bool operator==(const Vector2& o) const { return x == o.x && y == o.y; }
  bool operator!=(const Vector2& o) const { return !(*this == o); }
  ///@}
};

/// A vector of three floats.
struct Vector3 {
  ///@{
  /// The components.
  float x = 0, y = 0, z = 0;
  ///@}
  /// All fields 0.
  Vector3() = default;
  /// The vector (x_, y_, z_).
  Vector3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
  ///@{
  /// Field by field.
  bool operator==(const Vector3& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const Vector3& o) const { return !(*this == o); }
  ///@}
};

/// A vector of four floats.
struct Vector4 {
  ///@{
  /// The components.
  float x = 0, y = 0, z = 0, w = 0;
  ///@}
  /// All fields 0.
  Vector4() = default;
  /// The vector (x_, y_, z_, w_).
  Vector4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  ///@{
  /// Field by field.
  bool operator==(const Vector4& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
  bool operator!=(const Vector4& o) const { return !(*this == o); }
  ///@}
};

/// A quaternion of four floats (x, y, z, w).
struct Quaternion {
  ///@{
  /// The components.
  float x = 0, y = 0, z = 0, w = 0;
  ///@}
  /// All fields 0.
  Quaternion() = default;
  /// The quaternion (x_, y_, z_, w_).
  Quaternion(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  ///@{
  /// Field by field.
  bool operator==(const Quaternion& o) const {
    return x == o.x && y == o.y && z == o.z && w == o.w;
  }
  bool operator!=(const Quaternion& o) const { return !(*this == o); }
  ///@}
};

/// A 4x4 matrix of floats, row by row.
struct VEMO_CORE_API Matrix4 {
  float m[4][4] = {};  ///< m[row][column]
  /// All elements 0.
  Matrix4() = default;
  ///@{
  /// Element by element.
  bool operator==(const Matrix4& o) const;
  bool operator!=(const Matrix4& o) const { return !(*this == o); }
  ///@}

  static const Matrix4 IDENTITY;  ///< 1 on the diagonal
  static const Matrix4 ZERO;      ///< every element 0
};

using Point = Point_T<int>;     ///< A point of int coordinates.
using Pointf = Point_T<float>;  ///< A point of float coordinates.
using Rect = Rect_T<int>;       ///< A rectangle of int edges.
using Rectf = Rect_T<float>;    ///< A rectangle of float edges.

}  // namespace vemo
