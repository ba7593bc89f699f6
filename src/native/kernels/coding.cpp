// Text to nucleotide codes, one byte table for every form: the 1-byte form is
// the common one (ASCII FASTA text) and codes sixteen bytes at a time; wider
// storage units look up the table below 256 and are N above.
#include <emmintrin.h>

#include <array>

#include "kernels.hpp"

namespace morvane::kernels {
namespace {

// The code of every byte value: the one table of text to codes.
struct ByteCodes {
    std::array<std::uint8_t, 256> code{};
    constexpr ByteCodes() {
        for (int c = 0; c < 256; ++c) code[c] = static_cast<std::uint8_t>(code_of(static_cast<std::uint32_t>(c)));
    }
};
constexpr ByteCodes kBytes{};

inline std::uint8_t code_at(const std::uint8_t* t, std::int64_t i) { return kBytes.code[t[i]]; }
inline std::uint8_t code_at(const std::uint16_t* t, std::int64_t i) { return t[i] < 256 ? kBytes.code[t[i]] : 4; }
inline std::uint8_t code_at(const std::uint32_t* t, std::int64_t i) { return t[i] < 256 ? kBytes.code[t[i]] : 4; }

// The codes of sixteen bytes at once with SSE2 (every x86-64 has it):
// clearing bit 5 folds exactly a/t/c/g onto A/T/C/G, whatever it does to
// other bytes.
inline __m128i codes16(const std::uint8_t* text) {
    const __m128i fold = _mm_set1_epi8(static_cast<char>(0xDF));
    const __m128i A = _mm_set1_epi8('A'), T = _mm_set1_epi8('T'), C = _mm_set1_epi8('C'), G = _mm_set1_epi8('G');
    const __m128i one = _mm_set1_epi8(1), two = _mm_set1_epi8(2), three = _mm_set1_epi8(3), four = _mm_set1_epi8(4);
    const __m128i u = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text)), fold);
    const __m128i a = _mm_cmpeq_epi8(u, A), t = _mm_cmpeq_epi8(u, T), c = _mm_cmpeq_epi8(u, C),
                  g = _mm_cmpeq_epi8(u, G);
    const __m128i base = _mm_or_si128(_mm_or_si128(a, t), _mm_or_si128(c, g));
    return _mm_or_si128(
        _mm_andnot_si128(base, four),
        _mm_or_si128(_mm_and_si128(t, one), _mm_or_si128(_mm_and_si128(c, two), _mm_and_si128(g, three))));
}

inline void put(char* p, std::int64_t v) { std::memcpy(p, &v, sizeof v); }

// Where codes go: one byte each, contiguous int64, or int64 at any stride.
struct Bytes {
    std::uint8_t* out;
    void block(std::int64_t i, __m128i c) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), c); }
    void one(std::int64_t i, std::uint8_t c) const { out[i] = c; }
};

struct Int64s {
    char* out;
    void block(std::int64_t i, __m128i c) const {
        const __m128i zero = _mm_setzero_si128();
        const __m128i w[2] = {_mm_unpacklo_epi8(c, zero), _mm_unpackhi_epi8(c, zero)};
        char* p = out + i * 8;
        for (const __m128i& h : w) {
            const __m128i d[2] = {_mm_unpacklo_epi16(h, zero), _mm_unpackhi_epi16(h, zero)};
            for (const __m128i& q : d) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi32(q, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_unpackhi_epi32(q, zero));
                p += 32;
            }
        }
    }
    void one(std::int64_t i, std::uint8_t c) const { put(out + i * 8, c); }
};

struct StridedInt64s {
    Strided<std::int64_t> out;
    void block(std::int64_t i, __m128i c) const {
        alignas(16) std::uint8_t b[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(b), c);
        for (int k = 0; k < 16; ++k) one(i + k, b[k]);
    }
    void one(std::int64_t i, std::uint8_t c) const { put(out.base + i * out.step, c); }
};

template <class Sink>
void encode_with(const std::uint8_t* text, std::int64_t n, Sink sink) {
    std::int64_t i = 0;
    for (; i + 16 <= n; i += 16) sink.block(i, codes16(text + i));
    for (; i < n; ++i) sink.one(i, code_at(text, i));
}

template <class Ch, class Sink>
void encode_with(const Ch* text, std::int64_t n, Sink sink) {
    for (std::int64_t i = 0; i < n; ++i) sink.one(i, code_at(text, i));
}

template <class Ch>
void encode_into(const Ch* text, std::int64_t n, Strided<std::int64_t> out) {
    if (out.step == sizeof(std::int64_t))
        encode_with(text, n, Int64s{out.base});
    else
        encode_with(text, n, StridedInt64s{out});
}

template <class Ch>
void encode_both_any(const Ch* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    if (n <= 0) return;
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

void encode(const std::uint8_t* text, std::int64_t n, Strided<std::int64_t> out) { encode_into(text, n, out); }
void encode(const std::uint16_t* text, std::int64_t n, Strided<std::int64_t> out) { encode_into(text, n, out); }
void encode(const std::uint32_t* text, std::int64_t n, Strided<std::int64_t> out) { encode_into(text, n, out); }

void encode(const std::uint8_t* text, std::int64_t n, std::uint8_t* out) { encode_with(text, n, Bytes{out}); }
void encode(const std::uint16_t* text, std::int64_t n, std::uint8_t* out) { encode_with(text, n, Bytes{out}); }
void encode(const std::uint32_t* text, std::int64_t n, std::uint8_t* out) { encode_with(text, n, Bytes{out}); }

void encode_both(const std::uint8_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    encode_both_any(text, n, fwd, rev);
}
void encode_both(const std::uint16_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    encode_both_any(text, n, fwd, rev);
}
void encode_both(const std::uint32_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev) {
    encode_both_any(text, n, fwd, rev);
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
