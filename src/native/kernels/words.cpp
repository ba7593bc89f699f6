// Every word of the four codes at once: a de Bruijn sequence.
#include <vector>

#include "kernels.hpp"

namespace morvane::kernels {

// The FKM construction: the Lyndon words of length dividing L, in
// lexicographic order, concatenated; then the first L - 1 codes again, so
// that every word is a window of the linear sequence.
void de_bruijn(std::int32_t L, std::uint8_t* out) {
    std::vector<std::uint8_t> a(static_cast<std::size_t>(L) + 1, 0);
    std::int64_t at = 0;
    std::int32_t t = 1, p = 1;
    // iterative form of db(t, p): a[1..] is the current prenecklace
    for (;;) {
        if (t > L) {
            if (L % p == 0)
                for (std::int32_t j = 1; j <= p; ++j) out[at++] = a[j];
            // next prenecklace: the rightmost code below 3 goes up, the rest repeat the period
            std::int32_t i = L;
            while (i > 0 && a[i] == 3) --i;
            if (i == 0) break;
            ++a[i];
            p = i;
            for (std::int32_t j = i + 1; j <= L; ++j) a[j] = a[j - p];
            t = L + 1;
            continue;
        }
        a[t] = a[t - p];
        ++t;
    }
    for (std::int32_t j = 0; j < L - 1; ++j) out[at + j] = out[j % at];
}

}  // namespace morvane::kernels
