// Text to nucleotide codes. The 1-byte form is the common one (ASCII FASTA
// text) and runs on a 256-entry table; wider storage units go through code_of.
#include <emmintrin.h>

#include <array>

#include "kernels.hpp"

namespace morvane::kernels {
namespace {

struct ByteTables {
    std::array<std::int64_t, 256> fwd{};
    std::array<std::int64_t, 256> rev{};
    constexpr ByteTables() {
        for (int c = 0; c < 256; ++c) {
            fwd[c] = code_of(static_cast<std::uint32_t>(c));
            rev[c] = complement_of(fwd[c]);
        }
    }
};
constexpr ByteTables kBytes{};

inline std::int64_t code_at(const std::uint8_t* t, std::int64_t i) { return kBytes.fwd[t[i]]; }
inline std::int64_t code_at(const std::uint16_t* t, std::int64_t i) { return code_of(t[i]); }
inline std::int64_t code_at(const std::uint32_t* t, std::int64_t i) { return code_of(t[i]); }

inline void put(char* p, std::int64_t v) { std::memcpy(p, &v, sizeof v); }

template <class Ch>
void encode_any(const Ch* text, std::int64_t n, Strided<std::int64_t> out) {
    char* p = out.base;
    const std::int64_t step = out.step;
    if (step == sizeof(std::int64_t)) {
        // Contiguous output: independent stores the compiler can schedule freely.
        for (std::int64_t i = 0; i < n; ++i) put(p + i * 8, code_at(text, i));
    } else {
        for (std::int64_t i = 0; i < n; ++i) put(p + i * step, code_at(text, i));
    }
}

template <class Ch>
void encode_both_any(const Ch* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    char* f = fwd.base;
    // rev is walked backwards from its element n-1.
    char* r = rev.base + (n - 1) * rev.step;
    const std::int64_t fs = fwd.step, rs = rev.step;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t c = code_at(text, i);
        put(f + i * fs, c);
        put(r - i * rs, complement_of(c));
    }
}

template <class Ch>
std::int64_t count_gc_any(const Ch* text, std::int64_t n) {
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint32_t c = text[i];
        k += (c == 'G') | (c == 'g') | (c == 'C') | (c == 'c');
    }
    return k;
}

}  // namespace

void encode(const std::uint8_t* text, std::int64_t n, Strided<std::int64_t> out) { encode_any(text, n, out); }
void encode(const std::uint16_t* text, std::int64_t n, Strided<std::int64_t> out) { encode_any(text, n, out); }
void encode(const std::uint32_t* text, std::int64_t n, Strided<std::int64_t> out) { encode_any(text, n, out); }

void encode_both(const std::uint8_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    if (n <= 0) return;
    char* f = fwd.base;
    char* r = rev.base + (n - 1) * rev.step;
    const std::int64_t fs = fwd.step, rs = rev.step;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint8_t c = text[i];
        put(f + i * fs, kBytes.fwd[c]);
        put(r - i * rs, kBytes.rev[c]);
    }
}
void encode_both(const std::uint16_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    if (n > 0) encode_both_any(text, n, fwd, rev);
}
void encode_both(const std::uint32_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    if (n > 0) encode_both_any(text, n, fwd, rev);
}

std::int64_t count_gc(const std::uint8_t* text, std::int64_t n) {
    // Folding to lower case with |0x20 maps exactly 'C','c' to 'c' and 'G','g' to 'g'.
    const __m128i fold = _mm_set1_epi8(0x20);
    const __m128i c = _mm_set1_epi8('c');
    const __m128i g = _mm_set1_epi8('g');
    const __m128i zero = _mm_setzero_si128();
    std::int64_t k = 0;
    std::int64_t i = 0;
    while (n - i >= 16) {
        // Byte lanes count down by one per hit; 255 rounds cannot wrap them.
        std::int64_t rounds = (n - i) / 16;
        if (rounds > 255) rounds = 255;
        __m128i acc = zero;
        for (std::int64_t r = 0; r < rounds; ++r, i += 16) {
            const __m128i v = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)), fold);
            acc = _mm_sub_epi8(acc, _mm_or_si128(_mm_cmpeq_epi8(v, c), _mm_cmpeq_epi8(v, g)));
        }
        const __m128i s = _mm_sad_epu8(acc, zero);
        k += _mm_cvtsi128_si64(s) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s));
    }
    return k + count_gc_any(text + i, n - i);
}
std::int64_t count_gc(const std::uint16_t* text, std::int64_t n) { return count_gc_any(text, n); }
std::int64_t count_gc(const std::uint32_t* text, std::int64_t n) { return count_gc_any(text, n); }

}  // namespace morvane::kernels
