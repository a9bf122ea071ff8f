#ifndef VIRDA_FRAMEWORK_TYPES_VECTOR2_H
#define VIRDA_FRAMEWORK_TYPES_VECTOR2_H

/// \file
/// The element type Vector2.

/// A two-component vector of doubles. The components are stored consecutively
/// with nothing between them; the MPI datatype of the element (two contiguous
/// MPI_DOUBLE) relies on that layout.
class Vector2 {
public:
    double x; ///< Component x.
    double y; ///< Component y.

    /// All components 0.
    Vector2() : x(0.0), y(0.0) {}
    /// Every component set to v.
    explicit Vector2(double v) : x(v), y(v) {}
    /// Components in order x, y.
    Vector2(double p, double q) : x(p), y(q) {}

    /// Componentwise sum.
    Vector2 operator+(const Vector2& o) const { return Vector2(x + o.x, y + o.y); }
    /// Dot product, components added in order.
    double operator*(const Vector2& o) const { return x * o.x + y * o.y; }
};

/// Scalar on the left: added to every component.
inline Vector2 operator+(double s, const Vector2& v) { return Vector2(s + v.x, s + v.y); }
/// Scalar on the left: multiplying every component.
inline Vector2 operator*(double s, const Vector2& v) { return Vector2(s * v.x, s * v.y); }

static_assert(sizeof(Vector2) == 2 * sizeof(double), "Vector2 must be two packed doubles");

#endif
