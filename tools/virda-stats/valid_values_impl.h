// Template definitions of valid_values.h.
#include "held_types.h"

namespace virda_stats {

/// \cond internal
template <typename F>
struct number_block_visitor : boost::static_visitor<void> {
    F& f;
    explicit number_block_visitor(F& fn) : f(fn) {}
    template <typename T>
    void operator()(const va<T>& data) const
    {
        if constexpr (is_number_type<T>) {
            f(data.va_local_data(), static_cast<std::size_t>(data.va_local_count()));
        }
    }
};
/// \endcond

template <typename F>
void with_number_block(const Attribute& a, F&& f)
{
    if (const array_variant* held = a.held()) {
        boost::apply_visitor(number_block_visitor<F>(f), *held);
    }
}

} // namespace virda_stats
