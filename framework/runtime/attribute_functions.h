#ifndef VIRDA_FRAMEWORK_RUNTIME_ATTRIBUTE_FUNCTIONS_H
#define VIRDA_FRAMEWORK_RUNTIME_ATTRIBUTE_FUNCTIONS_H

class Attribute;
class VV1;

// Whole-attribute operations of the framework runtime, defined by the program
// that loads the statistics library.

/// The total of all elements over all ranks, the same on every rank.
/// Collective over the attribute's communicator.
VV1 sum(const Attribute& a);

/// A new attribute of a's shape and distribution holding every element raised
/// to the whole, non-negative exponent `e` (all ones for 0). Collective.
Attribute pow(const Attribute& a, double e);

/// A new attribute of a's shape and distribution holding s times every
/// element. Collective.
Attribute operator*(double s, const Attribute& a);

#endif
