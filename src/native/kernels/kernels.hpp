// Numeric kernels of morvane: plain C++ over strided views, no Python objects.
//
// Every view carries a base pointer, extents and byte strides as the buffer
// protocol hands them out. Strides may be negative, zero or not a multiple of
// the element size, so elements are read and written through memcpy; the
// compiler turns that into plain moves. The callers validate extents, codes and
// writability before a kernel runs: the kernels trust their inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

namespace morvane::kernels {

// A one-dimensional strided run of T.
template <class T>
struct Strided {
    char* base = nullptr;
    std::int64_t size = 0;
    std::int64_t step = sizeof(T);  // bytes

    T load(std::int64_t i) const {
        T v;
        std::memcpy(&v, base + i * step, sizeof v);
        return v;
    }
    void store(std::int64_t i, T v) const { std::memcpy(base + i * step, &v, sizeof v); }
};

// A two-dimensional strided float64 array, index [row, col].
struct Grid2 {
    char* base = nullptr;
    std::int64_t shape[2] = {0, 0};
    std::int64_t strides[2] = {0, 0};  // bytes

    char* at(std::int64_t r, std::int64_t c) const { return base + r * strides[0] + c * strides[1]; }
    double load(std::int64_t r, std::int64_t c) const {
        double v;
        std::memcpy(&v, at(r, c), sizeof v);
        return v;
    }
    void store(std::int64_t r, std::int64_t c, double v) const { std::memcpy(at(r, c), &v, sizeof v); }
};

// A four-dimensional strided float64 array, index [x, y, p, q].
struct Grid4 {
    char* base = nullptr;
    std::int64_t shape[4] = {0, 0, 0, 0};
    std::int64_t strides[4] = {0, 0, 0, 0};  // bytes

    char* at(std::int64_t x, std::int64_t y, std::int64_t p, std::int64_t q) const {
        return base + x * strides[0] + y * strides[1] + p * strides[2] + q * strides[3];
    }
    double load(std::int64_t x, std::int64_t y, std::int64_t p, std::int64_t q) const {
        double v;
        std::memcpy(&v, at(x, y, p, q), sizeof v);
        return v;
    }
    void store(std::int64_t x, std::int64_t y, std::int64_t p, std::int64_t q, double v) const {
        std::memcpy(at(x, y, p, q), &v, sizeof v);
    }
};

// Elements of a per-call table, the product of `factors` (each >= 0), checked
// before anything is allocated: a product beyond any allocation throws
// std::length_error, which the module reports as MemoryError.
inline std::size_t table_size(std::initializer_list<std::int64_t> factors) {
    std::uint64_t n = 1;
    for (std::int64_t f : factors)
        if (f < 0 || __builtin_mul_overflow(n, static_cast<std::uint64_t>(f), &n))
            throw std::length_error("morvane: per-call table too large");
    if (n > PTRDIFF_MAX / 8) throw std::length_error("morvane: per-call table too large");
    return static_cast<std::size_t>(n);
}

// ---------------------------------------------------------------- coding
// Code of one character (code point): A/a 0, T/t 1, C/c 2, G/g 3, anything else 4.
constexpr std::int64_t code_of(std::uint32_t cp) {
    switch (cp) {
            // clang-format off
        case 'A': case 'a': return 0;
        case 'T': case 't': return 1;
        case 'C': case 'c': return 2;
        case 'G': case 'g': return 3;
        // clang-format on
        default: return 4;
    }
}
// Complement of a code: 0<->1, 2<->3, 4 stays 4.
constexpr std::int64_t complement_of(std::int64_t code) { return code < 4 ? code ^ 1 : 4; }

// out[i] = code_of(text[i]) for i < n. Ch is the str storage unit (1, 2 or 4 bytes).
void encode(const std::uint8_t* text, std::int64_t n, Strided<std::int64_t> out);
void encode(const std::uint16_t* text, std::int64_t n, Strided<std::int64_t> out);
void encode(const std::uint32_t* text, std::int64_t n, Strided<std::int64_t> out);

// out[i] = code_of(text[i]) as one byte, for i < n.
void encode(const std::uint8_t* text, std::int64_t n, std::uint8_t* out);
void encode(const std::uint16_t* text, std::int64_t n, std::uint8_t* out);
void encode(const std::uint32_t* text, std::int64_t n, std::uint8_t* out);

// fwd[i] = code_of(text[i]) and rev[n-1-i] = complement_of(code_of(text[i])), one pass.
void encode_both(const std::uint8_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev);
void encode_both(const std::uint16_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev);
void encode_both(const std::uint32_t* text, std::int64_t n, Strided<std::int64_t> fwd, Strided<std::int64_t> rev);

// Number of G, g, C and c characters among text[0..n).
std::int64_t count_gc(const std::uint8_t* text, std::int64_t n);
std::int64_t count_gc(const std::uint16_t* text, std::int64_t n);
std::int64_t count_gc(const std::uint32_t* text, std::int64_t n);

// ---------------------------------------------------------------- checks
// Index of the first i < n with seq[i] == value, or -1.
std::int64_t find_code(Strided<std::int64_t> seq, std::int64_t n, std::int64_t value);
// Index of the first i < n with seq[i] outside [lo, hi], or -1.
std::int64_t find_outside(Strided<std::int64_t> seq, std::int64_t n, std::int64_t lo, std::int64_t hi);

// ---------------------------------------------------------------- PWM
// counts[seq[m], m] += amount for m < L (codes already checked to fit counts).
void pwm_count(Strided<std::int64_t> seq, std::int32_t L, Grid2 counts, double amount);

// Scores every window of width L = pssm.shape[1] (L >= 0) along seq[0..n):
// out[s + L/2] = sum over m ascending, from 0.0, of pssm[seq[s+m], m], for every
// window s in [0, n-L] whose codes are all 0..3; every other element of out[0..n)
// is NaN (a window holding a code >= 4 is NaN and never reads the matrix). Rows 0..3
// of pssm are read. out is contiguous and every one of its n elements is written.
// Returns the index of the first negative code in seq[0..n) (out then undefined), or -1.
// A window whose centre lies outside out (only possible for L == 0) is skipped.
std::int64_t pwm_score(Strided<std::int64_t> seq, Grid2 pssm, double* out);

// ---------------------------------------------------------------- DWM
// counts[seq[m], seq[n], m, n] += amount for all m, n < L (outer m, inner n).
void dwm_count(Strided<std::int64_t> seq, std::int32_t L, Grid4 counts, double amount);

// Pair probabilities, for m, n < L and Sm, Sn < 5:
//   dwm[Sm, Sn, m, n] = (counts[Sm, Sn, m, n] + ((pseudo * pwm[Sn, n]) * pwm[Sm, m])) / denom
void dwm_pairs(Grid4 counts, Grid2 pwm, double pseudo, double denom, std::int64_t L, Grid4 dwm);

// The operands of dwm_pairs for one model.
struct PairModel {
    Grid4 counts;
    Grid2 pwm;
    double pseudo, denom;
    Grid4 dwm;
};
// Both models in the element loop's own order: for each (m, n, Sm, Sn) the bias
// element, then the background element, every operand read as it is used. For
// arrays that share memory, where the order of the writes decides what is read.
void dwm_pairs_interleaved(const PairModel& bias, const PairModel& bg, std::int64_t L);

// Conditional-probability score of every window of width L >= 1 (the four log
// matrices are read at rows/codes 0..3, positions < L). Same placement, NaN and
// return conventions as pwm_score. Results are the exact doubles of the
// straightforward per-window evaluation (see dwm_score_reference in the tests).
std::int64_t dwm_score(Strided<std::int64_t> seq, std::int32_t L, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm,
                       Grid4 bg_dwm, double* out);

// ---------------------------------------------------------------- words
// A sequence of 4^L + L - 1 codes (1 <= L <= 15) whose windows of width L are
// every word of the codes 0..3, each once.
void de_bruijn(std::int32_t L, std::uint8_t* out);

}  // namespace morvane::kernels
