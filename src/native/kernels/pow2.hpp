// pow(2.0, x) for eight doubles at once, bit-identical to the C library.
//
// DWM scoring spends most of its time in pow(2.0, x), and its results must be
// the C library's to the last bit. glibc's x86-64 pow (the variant it selects on
// any processor with AVX-512, which has FMA) computes log(2) as a fixed
// double-double and then an exp kernel: a 128-entry table of 2^(k/128) and a
// degree-5 polynomial, evaluated with fused multiply-adds. For finite x whose
// exponent and product with log(2) stay in that kernel's main range this header
// repeats those operations lane by lane, fused where glibc fuses, so every lane
// performs the same IEEE operations; other lanes call pow itself. available()
// compares against pow at first use and the caller keeps calling pow unless it
// agrees on every probe.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>

namespace morvane::kernels::pow2 {

// Interleaved per k < 128: the relative tail of 2^(k/128), then the bits of
// 2^(k/128) rounded to double minus k << 45 (the exponent is added back).
extern const std::uint64_t kTable[256];

namespace c {
constexpr std::uint64_t kLog2Hi = 0x3fe62e42fefa39efull;    // log(2) as glibc's pow holds it: head
constexpr std::uint64_t kLog2Lo = 0x3c7abc9e3b398000ull;    // and tail
constexpr std::uint64_t kInvLn2N = 0x40671547652b82feull;   // 128 / ln 2
constexpr std::uint64_t kNegLn2HiN = 0xbf762e42fefa0000ull; // -ln 2 / 128, head
constexpr std::uint64_t kNegLn2LoN = 0xbd0cf79abc9e3b3aull; // and tail
constexpr std::uint64_t kShift = 0x4338000000000000ull;     // 0x1.8p52: rounds to integer
constexpr std::uint64_t kC2 = 0x3fdffffffffffdbdull;
constexpr std::uint64_t kC3 = 0x3fc555555555543cull;
constexpr std::uint64_t kC4 = 0x3fa55555cf172b91ull;
constexpr std::uint64_t kC5 = 0x3f81111167a4d017ull;
}  // namespace c

// True when eval8 reproduces this process's pow(2.0, x); checked once.
bool available();

__attribute__((target("avx512f"), always_inline)) inline __m512d dbl(std::uint64_t bits) {
    return _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(bits)));
}

// gcc 12 reports the "undefined" pass-through source of the plain shift and
// gather intrinsics as uninitialised; full-mask forms are the same instructions.
__attribute__((target("avx512f"), always_inline)) inline __m512i srl(__m512i v, unsigned n) {
    return _mm512_mask_srli_epi64(v, static_cast<__mmask8>(0xFF), v, n);
}
__attribute__((target("avx512f"), always_inline)) inline __m512i sll(__m512i v, unsigned n) {
    return _mm512_mask_slli_epi64(v, static_cast<__mmask8>(0xFF), v, n);
}

// pow(2.0, y[k]) for the eight lanes of y.
__attribute__((target("avx512f"), always_inline)) inline __m512d eval8(__m512d y) {
    const __m512i mask11 = _mm512_set1_epi64(0x7ff);
    const __m512i yb = _mm512_castpd_si512(y);
    const __m512i ty = _mm512_and_si512(srl(yb, 52), mask11);
    __mmask8 ok = _mm512_cmple_epu64_mask(_mm512_sub_epi64(ty, _mm512_set1_epi64(0x3be)), _mm512_set1_epi64(0x7f));

    const __m512d hi = dbl(c::kLog2Hi);
    const __m512d ehi = _mm512_mul_pd(y, hi);
    const __m512d elo = _mm512_fmadd_pd(y, dbl(c::kLog2Lo), _mm512_fmsub_pd(hi, y, ehi));
    const __m512i te = _mm512_and_si512(srl(_mm512_castpd_si512(ehi), 52), mask11);
    ok &= _mm512_cmple_epu64_mask(_mm512_sub_epi64(te, _mm512_set1_epi64(0x3c9)), _mm512_set1_epi64(0x3e));

    const __m512d shift = dbl(c::kShift);
    const __m512d kds = _mm512_fmadd_pd(ehi, dbl(c::kInvLn2N), shift);
    const __m512i ki = _mm512_castpd_si512(kds);
    const __m512d kd = _mm512_sub_pd(kds, shift);
    __m512d r = _mm512_fmadd_pd(kd, dbl(c::kNegLn2HiN), ehi);
    r = _mm512_fmadd_pd(kd, dbl(c::kNegLn2LoN), r);
    r = _mm512_add_pd(elo, r);
    const __m512i idx = sll(_mm512_and_si512(ki, _mm512_set1_epi64(127)), 1);
    const __mmask8 all = 0xFF;
    const __m512d tail = _mm512_mask_i64gather_pd(y, all, idx, reinterpret_cast<const double*>(kTable), 8);
    const __m512i sbits = _mm512_add_epi64(
        _mm512_mask_i64gather_epi64(idx, all, idx, reinterpret_cast<const long long*>(kTable + 1), 8), sll(ki, 45));
    const __m512d p1 = _mm512_fmadd_pd(r, dbl(c::kC3), dbl(c::kC2));
    const __m512d t = _mm512_add_pd(r, tail);
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d p2 = _mm512_fmadd_pd(r, dbl(c::kC5), dbl(c::kC4));
    const __m512d u = _mm512_fmadd_pd(p1, r2, t);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d tmp = _mm512_fmadd_pd(p2, r4, u);
    const __m512d scale = _mm512_castsi512_pd(sbits);
    __m512d out = _mm512_fmadd_pd(tmp, scale, scale);
    if (ok != 0xFF) {
        alignas(64) double ys[8], os[8];
        _mm512_store_pd(ys, y);
        _mm512_store_pd(os, out);
        for (int k = 0; k < 8; ++k)
            if (!((ok >> k) & 1)) os[k] = std::pow(2.0, ys[k]);
        out = _mm512_load_pd(os);
    }
    return out;
}

}  // namespace morvane::kernels::pow2
