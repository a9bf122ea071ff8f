#ifndef VIRDA_FRAMEWORK_TYPES_VECTOR3_H
#define VIRDA_FRAMEWORK_TYPES_VECTOR3_H

/// \file
/// The element type Vector3.

/// A three-component vector of doubles, stored as three consecutive doubles
/// (the MPI datatype of the element relies on it).
class Vector3 {
public:
    double x; ///< Component x.
    double y; ///< Component y.
    double z; ///< Component z.

    /// All components 0.
    Vector3() : x(0.0), y(0.0), z(0.0) {}
    /// Every component set to v.
    explicit Vector3(double v) : x(v), y(v), z(v) {}
    /// Components in order x, y, z.
    Vector3(double p, double q, double r) : x(p), y(q), z(r) {}

    /// Componentwise sum.
    Vector3 operator+(const Vector3& o) const { return Vector3(x + o.x, y + o.y, z + o.z); }
    /// Dot product, components added in order x, y, z.
    double operator*(const Vector3& o) const { return x * o.x + y * o.y + z * o.z; }
};

/// Scalar on the left: added to every component.
inline Vector3 operator+(double s, const Vector3& v) { return Vector3(s + v.x, s + v.y, s + v.z); }
/// Scalar on the left: multiplying every component.
inline Vector3 operator*(double s, const Vector3& v) { return Vector3(s * v.x, s * v.y, s * v.z); }

static_assert(sizeof(Vector3) == 3 * sizeof(double), "Vector3 must be three packed doubles");

#endif
