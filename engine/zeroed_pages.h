#ifndef VIRDA_ENGINE_ZEROED_PAGES_H
#define VIRDA_ENGINE_ZEROED_PAGES_H

// Zeroed blocks of doubles for a histogram's counts: small ones from the
// heap, large ones mappings of their own. Not installed.

#include "engine/histogram_dd.h"

#include <cstddef>
#include <memory>

namespace virda::engine::detail {

/// `count` zeroed doubles (null when they cannot be had).
std::unique_ptr<double[], zeroed_pages_release> zeroed_doubles(std::size_t count);

} // namespace virda::engine::detail

#endif
