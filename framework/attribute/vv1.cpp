#include "framework/attribute/vv1.h"

VV1::VV1(element_variant v) : element(std::move(v)) {}

double VV1::to_double() const
{
    // Only double, float and int are numbers here; char and the composite
    // types are not, although char is numeric.
    if (const double* d = boost::get<double>(&element)) {
        return *d;
    }
    if (const float* f = boost::get<float>(&element)) {
        return *f;
    }
    return boost::get<int>(element); // raises boost::bad_get for the others
}
