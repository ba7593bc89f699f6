// Scans that validate coded sequences before the counting loops index with them.
#include "kernels.hpp"

namespace morvane::kernels {

std::int64_t find_code(Strided<std::int64_t> seq, std::int64_t n, std::int64_t value) {
    for (std::int64_t i = 0; i < n; ++i)
        if (seq.load(i) == value) return i;
    return -1;
}

std::int64_t find_outside(Strided<std::int64_t> seq, std::int64_t n, std::int64_t lo, std::int64_t hi) {
    // One unsigned compare tests both bounds; (hi - lo) cannot overflow for lo <= hi.
    if (lo > hi) return n > 0 ? 0 : -1;
    const auto span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    for (std::int64_t i = 0; i < n; ++i)
        if (static_cast<std::uint64_t>(seq.load(i)) - static_cast<std::uint64_t>(lo) > span) return i;
    return -1;
}

}  // namespace morvane::kernels
