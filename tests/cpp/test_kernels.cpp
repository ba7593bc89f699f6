// Tests of the numeric kernels: worked examples, view layouts, NaN placement,
// code validation, and random differential runs against plain per-window
// loops written here, on every instruction-set level the machine offers.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "kernels/cpu.hpp"
#include "kernels/kernels.hpp"
#include "kernels/pow2.hpp"
#include "kernels/tails.hpp"
#include "reference.hpp"

using namespace morvane::kernels;
namespace reference = morvane::reference;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}
bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

// ------------------------------------------------------------------ views
// An owned N-d float64 array whose view may store its axes in any order and
// walk any axis backwards, with optional padding between elements.
struct Array {
    int nd = 0;
    std::int64_t shape[4] = {0, 0, 0, 0};
    std::int64_t strides[4] = {0, 0, 0, 0};
    std::vector<double> buf;
    char* base = nullptr;

    Array(int ndim, const std::int64_t* shp, const int* order = nullptr, unsigned flip = 0, int spread = 1) : nd(ndim) {
        std::int64_t total = 1;
        for (int d = 0; d < nd; ++d) {
            shape[d] = shp[d];
            total *= shp[d];
        }
        buf.assign(static_cast<std::size_t>(total * spread + 1), 0.0);
        // order lists axes from outermost to innermost in memory.
        int ord[4] = {0, 1, 2, 3};
        if (order)
            for (int d = 0; d < nd; ++d) ord[d] = order[d];
        std::int64_t step = 8 * spread;
        for (int k = nd - 1; k >= 0; --k) {
            strides[ord[k]] = step;
            step *= shape[ord[k]];
        }
        std::int64_t offset = 0;
        for (int d = 0; d < nd; ++d)
            if (flip & (1u << d)) {
                offset += (shape[d] - 1) * strides[d];
                strides[d] = -strides[d];
            }
        base = reinterpret_cast<char*>(buf.data()) + (total > 0 ? offset : 0);
    }
    Grid2 g2() const {
        Grid2 g;
        g.base = base;
        for (int d = 0; d < 2; ++d) g.shape[d] = shape[d], g.strides[d] = strides[d];
        return g;
    }
    Grid4 g4() const {
        Grid4 g;
        g.base = base;
        for (int d = 0; d < 4; ++d) g.shape[d] = shape[d], g.strides[d] = strides[d];
        return g;
    }
};

Array make2(std::int64_t r, std::int64_t c, int layout = 0) {
    const std::int64_t s[2] = {r, c};
    static const int fortran[2] = {1, 0};
    switch (layout) {
        case 1: return Array(2, s, fortran);
        case 2: return Array(2, s, nullptr, 3u, 2);
        case 3: return Array(2, s, fortran, 2u, 3);
        default: return Array(2, s);
    }
}
Array make4(std::int64_t L, int layout = 0) {
    const std::int64_t s[4] = {5, 5, L, L};
    static const int rev[4] = {3, 2, 1, 0};
    static const int mixed[4] = {2, 0, 3, 1};
    switch (layout) {
        case 1: return Array(4, s, rev);
        case 2: return Array(4, s, mixed, 0b1010u, 2);
        case 3: return Array(4, s, nullptr, 0b0101u);
        default: return Array(4, s);
    }
}

// A coded sequence laid out forwards, spread out, or backwards in memory.
struct Seq {
    std::vector<std::int64_t> buf;
    Strided<std::int64_t> view;
    Seq(const std::vector<std::int64_t>& codes, int layout = 0) {
        const std::int64_t n = static_cast<std::int64_t>(codes.size());
        const std::int64_t spread = layout == 1 ? 3 : 1;
        buf.assign(static_cast<std::size_t>(n * spread + 1), -77);
        view.size = n;
        if (layout == 2) {
            for (std::int64_t i = 0; i < n; ++i) buf[n - 1 - i] = codes[i];
            view.base = reinterpret_cast<char*>(buf.data() + (n > 0 ? n - 1 : 0));
            view.step = -8;
        } else {
            for (std::int64_t i = 0; i < n; ++i) buf[i * spread] = codes[i];
            view.base = reinterpret_cast<char*>(buf.data());
            view.step = 8 * spread;
        }
    }
};

// ------------------------------------------------------------ references
// The plain scorers, after the scan for a negative code that the kernels report.
std::int64_t first_negative(const std::vector<std::int64_t>& seq) {
    for (std::size_t i = 0; i < seq.size(); ++i)
        if (seq[i] < 0) return static_cast<std::int64_t>(i);
    return -1;
}

std::int64_t ref_pwm_score(const std::vector<std::int64_t>& seq, Grid2 pssm, std::vector<double>& out) {
    const std::int64_t bad = first_negative(seq);
    if (bad >= 0) return bad;
    out.resize(seq.size());
    reference::pwm_score(seq, pssm, out.data());
    return -1;
}

std::int64_t ref_dwm_score(const std::vector<std::int64_t>& seq, std::int64_t L, Grid2 bias_pwm, Grid2 bg_pwm,
                           Grid4 bias_dwm, Grid4 bg_dwm, std::vector<double>& out) {
    const std::int64_t bad = first_negative(seq);
    if (bad >= 0) return bad;
    out.resize(seq.size());
    reference::dwm_score(seq, L, bias_pwm, bg_pwm, bias_dwm, bg_dwm, out.data());
    return -1;
}

std::vector<double> run_pwm(const std::vector<std::int64_t>& codes, Grid2 pssm, std::int64_t* ret, int layout = 0) {
    Seq s(codes, layout);
    // Poisoned so that an element the kernel forgets to write shows up.
    std::vector<double> out(codes.size(), -12345.0);
    *ret = pwm_score(s.view, pssm, out.data());
    return out;
}

struct DwmModel {
    std::int64_t L;
    Array bias_pwm, bg_pwm, bias_dwm, bg_dwm;
    DwmModel(std::int64_t L_, int layout = 0)
        : L(L_), bias_pwm(make2(5, L_, layout)), bg_pwm(make2(5, L_, (layout + 1) % 4)), bias_dwm(make4(L_, layout)),
          bg_dwm(make4(L_, (layout + 2) % 4)) {}
};

std::vector<double> run_dwm(const std::vector<std::int64_t>& codes, const DwmModel& d, std::int64_t* ret,
                            int layout = 0) {
    Seq s(codes, layout);
    std::vector<double> out(codes.size(), -12345.0);
    *ret = dwm_score(s.view, static_cast<std::int32_t>(d.L), d.bias_pwm.g2(), d.bg_pwm.g2(), d.bias_dwm.g4(),
                     d.bg_dwm.g4(), out.data());
    return out;
}

std::vector<double> ref_dwm(const std::vector<std::int64_t>& codes, const DwmModel& d, std::int64_t* ret) {
    std::vector<double> out;
    *ret = ref_dwm_score(codes, d.L, d.bias_pwm.g2(), d.bg_pwm.g2(), d.bias_dwm.g4(), d.bg_dwm.g4(), out);
    return out;
}

std::mt19937_64 rng(20240611);

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
std::int64_t pick(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng); }

std::vector<std::int64_t> random_codes(std::int64_t n, double pN) {
    std::vector<std::int64_t> v(static_cast<std::size_t>(n));
    for (auto& c : v) {
        if (uniform(0, 1) < pN) {
            // Anything above 3 counts as N.
            const std::int64_t odd[] = {
                4, 4, 4, 5, 7, 8, 9, 255, std::int64_t{1} << 40, std::numeric_limits<std::int64_t>::max()};
            c = odd[pick(0, 9)];
        } else {
            c = pick(0, 3);
        }
    }
    return v;
}

// ---------------------------------------------------------------- coding
void test_coding() {
    // Codes from an independent listing: position in "ATCG" of the upper-cased letter.
    auto expect = [](std::uint32_t cp) -> std::int64_t {
        const char* bases = "ATCG";
        for (int k = 0; k < 4; ++k)
            if (cp == static_cast<std::uint32_t>(bases[k]) || cp == static_cast<std::uint32_t>(bases[k] + 32)) return k;
        return 4;
    };
    {
        const std::string t = "ACGTNacgtn";
        std::vector<std::int64_t> out(t.size(), -1);
        encode(reinterpret_cast<const std::uint8_t*>(t.data()), static_cast<std::int64_t>(t.size()),
               Strided<std::int64_t>{reinterpret_cast<char*>(out.data()), static_cast<std::int64_t>(out.size()), 8});
        const std::int64_t want[] = {0, 2, 3, 1, 4, 0, 2, 3, 1, 4};
        for (std::size_t i = 0; i < t.size(); ++i) CHECK(out[i] == want[i]);
    }
    // Every byte, and code points beyond one byte whose low byte is a base letter.
    std::vector<std::uint8_t> t8(256);
    std::vector<std::uint16_t> t16;
    std::vector<std::uint32_t> t32;
    for (int c = 0; c < 256; ++c) t8[c] = static_cast<std::uint8_t>(c);
    for (std::uint32_t c : {0x41u, 0x61u, 0x54u, 0x43u, 0x67u, 0x4eu, 0xe4u, 0x141u, 0x147u, 0xff43u, 0x74u})
        t16.push_back(static_cast<std::uint16_t>(c));
    for (std::uint32_t c : {0x41u, 0x10041u, 0x1f600u, 0x63u, 0x47u, 0x100067u, 0x54u, 0u}) t32.push_back(c);

    auto check_units = [&](auto* text, std::int64_t n) {
        std::vector<std::int64_t> o(static_cast<std::size_t>(n) * 2 + 1, -9);
        // out spread over every other element: the gaps must stay untouched.
        encode(text, n, Strided<std::int64_t>{reinterpret_cast<char*>(o.data()), n, 16});
        std::vector<std::uint8_t> b(static_cast<std::size_t>(n) + 1, 9);
        encode(text, n, b.data());
        std::vector<std::int64_t> f(static_cast<std::size_t>(n) + 1, -9), r(static_cast<std::size_t>(n) + 1, -9);
        // rev walks memory backwards.
        encode_both(text, n, Strided<std::int64_t>{reinterpret_cast<char*>(f.data()), n, 8},
                    Strided<std::int64_t>{reinterpret_cast<char*>(r.data() + n - 1), n, -8});
        std::int64_t gc = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t want = expect(text[i]);
            CHECK_MSG(o[2 * i] == want, "cp %u", static_cast<unsigned>(text[i]));
            CHECK(o[2 * i + 1] == -9);
            CHECK(b[i] == want);
            CHECK(f[i] == want);
            // rev viewed backwards: view element n-1-i is memory element i.
            const std::int64_t comp = want == 4 ? 4 : (want == 0 ? 1 : want == 1 ? 0 : want == 2 ? 3 : 2);
            CHECK(r[i] == comp);
            gc += want == 2 || want == 3;
        }
        CHECK(f[n] == -9 && r[n] == -9 && b[n] == 9);
        CHECK(count_gc(text, n) == gc);
    };
    check_units(t8.data(), 256);
    check_units(t16.data(), static_cast<std::int64_t>(t16.size()));
    check_units(t32.data(), static_cast<std::int64_t>(t32.size()));

    // Every byte value at every place of a 16-byte step and in the tail, into
    // bytes and into contiguous int64 (both stored sixteen codes at a time).
    {
        std::vector<std::uint8_t> text(256 * 3 + 7);
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>(i * 7 % 256);
        for (std::int64_t start = 0; start < 17; ++start) {
            const std::int64_t n = static_cast<std::int64_t>(text.size()) - start;
            std::vector<std::uint8_t> b(static_cast<std::size_t>(n) + 1, 9);
            std::vector<std::int64_t> w(static_cast<std::size_t>(n) + 1, -9);
            encode(text.data() + start, n, b.data());
            encode(text.data() + start, n, Strided<std::int64_t>{reinterpret_cast<char*>(w.data()), n, 8});
            bool same = b[n] == 9 && w[n] == -9;
            for (std::int64_t i = 0; i < n; ++i) same = same && b[i] == expect(text[start + i]) && w[i] == b[i];
            CHECK_MSG(same, "encode from offset %lld", static_cast<long long>(start));
        }
    }

    // encode_both with a forward rev view: rev[n-1-i] complements text[i].
    {
        const std::string t = "AACGTNx";
        const std::int64_t n = static_cast<std::int64_t>(t.size());
        std::vector<std::int64_t> f(t.size()), r(t.size());
        encode_both(reinterpret_cast<const std::uint8_t*>(t.data()), n,
                    Strided<std::int64_t>{reinterpret_cast<char*>(f.data()), n, 8},
                    Strided<std::int64_t>{reinterpret_cast<char*>(r.data()), n, 8});
        const std::int64_t wr[] = {4, 4, 0, 2, 3, 1, 1};  // reverse complement of AACGTNx
        for (std::int64_t i = 0; i < n; ++i) CHECK(r[i] == wr[i]);
        encode_both(reinterpret_cast<const std::uint8_t*>(t.data()), 0, Strided<std::int64_t>{nullptr, 0, 8},
                    Strided<std::int64_t>{nullptr, 0, 8});
    }

    // count_gc over lengths that cross the 16-byte and the byte-counter limits,
    // including all-GC text (every lane counts every round).
    for (std::int64_t n : {0, 1, 15, 16, 17, 1000, 4079, 4080, 4081, 4096, 20000}) {
        std::vector<std::uint8_t> t(static_cast<std::size_t>(n));
        std::int64_t want = 0;
        for (auto& c : t) {
            c = static_cast<std::uint8_t>(pick(0, 255));
            if (pick(0, 1)) c = "ACGTNacgtn"[pick(0, 9)];
            want += c == 'G' || c == 'g' || c == 'C' || c == 'c';
        }
        CHECK_MSG(count_gc(t.data(), n) == want, "n=%lld", static_cast<long long>(n));
        std::vector<std::uint8_t> all(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) all[i] = "GCgc"[i % 4];
        CHECK(count_gc(all.data(), n) == n);
    }
}

void test_checks() {
    Seq s({0, 1, 4, 2, 4, -1, 3, 9});
    CHECK(find_code(s.view, 8, 4) == 2);
    CHECK(find_code(s.view, 2, 4) == -1);
    CHECK(find_code(s.view, 8, 7) == -1);
    CHECK(find_outside(s.view, 8, 0, 4) == 5);
    CHECK(find_outside(s.view, 5, 0, 4) == -1);
    CHECK(find_outside(s.view, 8, 0, 3) == 2);
    CHECK(find_outside(s.view, 2, 0, 3) == -1);
    CHECK(find_outside(s.view, 0, 0, 3) == -1);
    Seq big({std::numeric_limits<std::int64_t>::min(), 0, std::numeric_limits<std::int64_t>::max()}, 2);
    CHECK(find_outside(big.view, 3, 0, 4) == 0);
    CHECK(find_outside(big.view, 3, std::numeric_limits<std::int64_t>::min(), 0) == 2);
    CHECK(find_outside(big.view, 3, std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::max()) == -1);
    CHECK(find_code(big.view, 3, 0) == 1);
}

// -------------------------------------------------------------- counting
void test_counting() {
    {
        Array c = make2(5, 4, 3);
        Seq s({0, 1, 2, 3, 4, 4}, 1);  // codes past L are not read
        pwm_count(s.view, 4, c.g2(), 1.0);
        pwm_count(s.view, 4, c.g2(), 2.5);
        for (int r = 0; r < 5; ++r)
            for (int m = 0; m < 4; ++m) CHECK(c.g2().load(r, m) == (r == m ? 3.5 : 0.0));
        pwm_count(s.view, 0, c.g2(), 100.0);
        CHECK(c.g2().load(0, 0) == 3.5);
    }
    {
        Array c = make4(2, 2);
        Seq s({0, 3, 4}, 2);
        dwm_count(s.view, 2, c.g4(), 1.0);
        dwm_count(s.view, 2, c.g4(), -0.25);
        Grid4 g = c.g4();
        int nonzero = 0;
        for (int x = 0; x < 5; ++x)
            for (int y = 0; y < 5; ++y)
                for (int p = 0; p < 2; ++p)
                    for (int q = 0; q < 2; ++q) {
                        const bool hit =
                            ((x == 0 && p == 0) || (x == 3 && p == 1)) && ((y == 0 && q == 0) || (y == 3 && q == 1));
                        CHECK(g.load(x, y, p, q) == (hit ? 0.75 : 0.0));
                        nonzero += g.load(x, y, p, q) != 0.0;
                    }
        CHECK(nonzero == 4);
    }
    // Symmetry of pair counts over random sequences.
    {
        const std::int64_t L = 7;
        Array c = make4(L, 1);
        for (int k = 0; k < 30; ++k) {
            Seq s(random_codes(L, 0.0), k % 3);
            dwm_count(s.view, static_cast<std::int32_t>(L), c.g4(), uniform(0.1, 3.0));
        }
        Grid4 g = c.g4();
        double total = 0;
        for (int x = 0; x < 5; ++x)
            for (int y = 0; y < 5; ++y)
                for (int p = 0; p < L; ++p)
                    for (int q = 0; q < L; ++q) {
                        CHECK(g.load(x, y, p, q) == g.load(y, x, q, p));
                        if (p == q && x != y) CHECK(g.load(x, y, p, q) == 0.0);
                        total += g.load(x, y, p, q);
                    }
        CHECK(total > 0);
    }
    // Pair counting against the plain m, n loop, bit for bit, on ordinary
    // layouts and on views whose elements coincide (zero strides) or overlap
    // by half a double, where the visiting order shows in the result.
    struct Layout {
        std::int64_t strides[4];
    };
    for (const std::int64_t L : {1, 3, 4, 5, 8, 13}) {
        const std::int64_t C = L * L * 8;
        const Layout layouts[] = {
            {{5 * C, C, L * 8, 8}},          // C order
            {{-5 * C, -C, -L * 8, -8}},      // every axis backwards
            {{8, 40, 200, 200 * L}},         // Fortran order
            {{5 * C, C, L * 8, 0}},          // all n of a row on one element
            {{0, 0, 0, 0}},                  // a single element
            {{5 * C / 2, C / 2, L * 4, 4}},  // neighbours overlap by four bytes
            {{5 * C, C + 4, L * 8, 8}},      // codes shifted by half a double
        };
        for (const Layout& lay : layouts) {
            std::int64_t lo = 0, hi = 0;
            for (int d = 0; d < 4; ++d) {
                const std::int64_t reach = (d < 2 ? 4 : L - 1) * lay.strides[d];
                (reach < 0 ? lo : hi) += reach;
            }
            std::vector<unsigned char> mem(static_cast<std::size_t>(hi - lo + 8)), want;
            for (auto& b : mem) b = static_cast<unsigned char>(std::uniform_int_distribution<int>(0, 63)(rng));
            want = mem;
            Grid4 got_g, want_g;
            got_g.base = reinterpret_cast<char*>(mem.data()) - lo;
            want_g.base = reinterpret_cast<char*>(want.data()) - lo;
            for (int d = 0; d < 4; ++d) {
                got_g.shape[d] = want_g.shape[d] = d < 2 ? 5 : L;
                got_g.strides[d] = want_g.strides[d] = lay.strides[d];
            }
            for (int k = 0; k < 4; ++k) {
                Seq s(random_codes(L, 0.0), k % 3);
                const double amount = uniform(-3.0, 3.0);
                dwm_count(s.view, static_cast<std::int32_t>(L), got_g, amount);
                for (std::int64_t m = 0; m < L; ++m)
                    for (std::int64_t n = 0; n < L; ++n) {
                        const std::int64_t Sm = s.view.load(m), Sn = s.view.load(n);
                        want_g.store(Sm, Sn, m, n, want_g.load(Sm, Sn, m, n) + amount);
                    }
            }
            CHECK_MSG(mem == want, "L=%lld strides %lld %lld %lld %lld", static_cast<long long>(L),
                      static_cast<long long>(lay.strides[0]), static_cast<long long>(lay.strides[1]),
                      static_cast<long long>(lay.strides[2]), static_cast<long long>(lay.strides[3]));
        }
    }
}

// ------------------------------------------------------------- dwm_pairs
void test_pairs() {
    for (int layout = 0; layout < 4; ++layout) {
        const std::int64_t L = 1 + layout * 2;
        Array counts = make4(L, layout), pwm = make2(5, L, layout), dwm = make4(L, (layout + 1) % 4);
        for (int x = 0; x < 5; ++x)
            for (int y = 0; y < 5; ++y)
                for (int p = 0; p < L; ++p)
                    for (int q = 0; q < L; ++q) counts.g4().store(x, y, p, q, uniform(0, 50));
        for (int x = 0; x < 5; ++x)
            for (int p = 0; p < L; ++p) pwm.g2().store(x, p, uniform(0.001, 1));
        const double pseudo = uniform(16, 40), denom = uniform(20, 90);
        dwm_pairs(counts.g4(), pwm.g2(), pseudo, denom, L, dwm.g4());
        int differs_if_reordered = 0;
        for (int x = 0; x < 5; ++x)
            for (int y = 0; y < 5; ++y)
                for (int p = 0; p < L; ++p)
                    for (int q = 0; q < L; ++q) {
                        const double a = pwm.g2().load(y, q), b = pwm.g2().load(x, p);
                        const double want = (counts.g4().load(x, y, p, q) + (pseudo * a) * b) / denom;
                        CHECK(bits(dwm.g4().load(x, y, p, q)) == bits(want));
                        differs_if_reordered +=
                            bits(want) != bits((counts.g4().load(x, y, p, q) + (pseudo * b) * a) / denom);
                    }
        // The random data must be able to tell the factor order apart.
        if (L >= 5) CHECK(differs_if_reordered > 0);
        // Both models interleaved give each model's own elements when nothing is shared.
        Array bg_counts = make4(L, 0), bg_pwm = make2(5, L, 0), both = make4(L, layout), bg_both = make4(L, 0);
        for (int x = 0; x < 5; ++x)
            for (int p = 0; p < L; ++p) bg_pwm.g2().store(x, p, uniform(0.001, 1));
        Array bg_dwm = make4(L, 0);
        dwm_pairs(bg_counts.g4(), bg_pwm.g2(), 16, 20, L, bg_dwm.g4());
        dwm_pairs_interleaved({counts.g4(), pwm.g2(), pseudo, denom, both.g4()},
                              {bg_counts.g4(), bg_pwm.g2(), 16, 20, bg_both.g4()}, L);
        for (int x = 0; x < 5; ++x)
            for (int y = 0; y < 5; ++y)
                for (int p = 0; p < L; ++p)
                    for (int q = 0; q < L; ++q) {
                        CHECK(bits(both.g4().load(x, y, p, q)) == bits(dwm.g4().load(x, y, p, q)));
                        CHECK(bits(bg_both.g4().load(x, y, p, q)) == bits(bg_dwm.g4().load(x, y, p, q)));
                    }
    }
}

// Per-call table sizes: products that overflow or exceed any allocation throw.
void test_table_size() {
    CHECK(table_size({4, 3, 3, 8}) == 288);
    CHECK(table_size({5, 0, 1 << 30}) == 0);
    const std::int64_t big = std::int64_t{1} << 31;
    for (std::initializer_list<std::int64_t> f : {std::initializer_list<std::int64_t>{4, big, big, 8},
                                                  {std::int64_t{1} << 62, 4},
                                                  {-1, 2},
                                                  {std::int64_t{1} << 61}}) {
        bool thrown = false;
        try {
            table_size(f);
        } catch (const std::length_error&) {
            thrown = true;
        }
        CHECK(thrown);
    }
}

// ------------------------------------------------------- worked examples
void test_pwm_example() {
    // Length 2, one bias sequence (A, C), no background: pssm = log2(bias/0.25).
    Array pssm = make2(5, 2);
    for (int r = 0; r < 5; ++r)
        for (int m = 0; m < 2; ++m) {
            const bool hit = (r == 0 && m == 0) || (r == 2 && m == 1);
            pssm.g2().store(r, m, std::log2((hit ? 2.0 / 5.0 : 1.0 / 5.0) / 0.25));
        }
    std::int64_t ret = 0;
    const std::vector<double> out = run_pwm({0, 2, 2}, pssm.g2(), &ret);
    CHECK(ret == -1);
    CHECK(bits(out[0]) == 0x7ff8000000000000ull);
    CHECK(near(out[1], 1.356144, 5e-7));
    CHECK(near(out[2], 0.356144, 5e-7));
}

DwmModel worked_dwm() {
    // L = 2; one bias sequence (A, G) counted once, no background.
    DwmModel d(2);
    Array counts = make4(2), none = make4(2), bias_pwm = make2(5, 2), bg_pwm = make2(5, 2);
    Seq s({0, 3});
    dwm_count(s.view, 2, counts.g4(), 1.0);
    for (int r = 0; r < 5; ++r)
        for (int m = 0; m < 2; ++m) {
            const bool seen = (m == 0 && r == 0) || (m == 1 && r == 3);
            bias_pwm.g2().store(r, m, (seen ? 1.0 + 1.0 : 1.0) / (1.0 + 4.0));
            bg_pwm.g2().store(r, m, 1.0 / 4.0);
        }
    Array bias_dwm = make4(2), bg_dwm = make4(2);
    dwm_pairs(counts.g4(), bias_pwm.g2(), 16, 17, 2, bias_dwm.g4());
    dwm_pairs(none.g4(), bg_pwm.g2(), 16, 16, 2, bg_dwm.g4());
    CHECK(near(bias_dwm.g4().load(0, 3, 0, 1), 3.56 / 17, 1e-15));
    CHECK(near(bias_dwm.g4().load(0, 0, 0, 0), 3.56 / 17, 1e-15));
    CHECK(near(bias_dwm.g4().load(1, 2, 0, 1), 0.64 / 17, 1e-15));
    CHECK(near(bias_dwm.g4().load(4, 4, 0, 1), 0.64 / 17, 1e-15));
    CHECK(bg_dwm.g4().load(2, 1, 1, 0) == 0.0625);
    for (int x = 0; x < 5; ++x)
        for (int m = 0; m < 2; ++m) {
            d.bias_pwm.g2().store(x, m, std::log2(bias_pwm.g2().load(x, m)));
            d.bg_pwm.g2().store(x, m, std::log2(bg_pwm.g2().load(x, m)));
            for (int y = 0; y < 5; ++y)
                for (int n = 0; n < 2; ++n) {
                    d.bias_dwm.g4().store(x, y, m, n, std::log2(bias_dwm.g4().load(x, y, m, n)));
                    d.bg_dwm.g4().store(x, y, m, n, std::log2(bg_dwm.g4().load(x, y, m, n)));
                }
        }
    return d;
}

void test_dwm_example() {
    const DwmModel d = worked_dwm();
    std::int64_t ret = 0;
    const std::vector<double> out = run_dwm({0, 3, 0, 3, 4, 1, 2}, d, &ret);
    CHECK(ret == -1);
    const double hi = 1.8887039, lo = -0.6438562;
    CHECK(bits(out[0]) == 0x7ff8000000000000ull);
    CHECK(near(out[1], hi, 5e-8));
    CHECK(near(out[2], lo, 5e-8));
    CHECK(near(out[3], hi, 5e-8));
    CHECK(bits(out[4]) == 0x7ff8000000000000ull);
    CHECK(bits(out[5]) == 0x7ff8000000000000ull);
    CHECK(near(out[6], lo, 5e-8));
    // The same values in closed form.
    CHECK(near(out[1], 4 + 2 * std::log2(3.56 / 7.4), 1e-12));
    CHECK(near(out[6], 4 + 2 * std::log2(0.2), 1e-12));
    std::int64_t r2 = 0;
    CHECK(same_bits(out, ref_dwm({0, 3, 0, 3, 4, 1, 2}, d, &r2)));
}

// ----------------------------------------------------- placement and N
void test_pwm_placement() {
    for (std::int64_t L : {1, 2, 3, 4, 5, 8, 9}) {
        Array pssm = make2(5, L);
        for (int r = 0; r < 5; ++r)
            for (int m = 0; m < L; ++m) pssm.g2().store(r, m, r < 4 ? 1.0 : kNaN);
        for (std::int64_t n : {L - 1, L, L + 1, std::int64_t{30}}) {
            if (n < 0) continue;
            for (std::int64_t p = -1; p < n; ++p) {
                std::vector<std::int64_t> codes(static_cast<std::size_t>(n), 2);
                if (p >= 0) codes[p] = 4;
                std::int64_t ret = 0;
                const std::vector<double> out = run_pwm(codes, pssm.g2(), &ret, static_cast<int>(p & 1) * 2);
                CHECK(ret == -1);
                const std::int64_t F = L / 2;
                for (std::int64_t k = 0; k < n; ++k) {
                    const std::int64_t s = k - F;  // window that lands on k
                    const bool scored = s >= 0 && s + L <= n && !(p >= s && p < s + L);
                    if (scored)
                        CHECK_MSG(out[k] == static_cast<double>(L), "L=%lld n=%lld p=%lld k=%lld", (long long)L,
                                  (long long)n, (long long)p, (long long)k);
                    else
                        CHECK_MSG(bits(out[k]) == 0x7ff8000000000000ull, "L=%lld n=%lld p=%lld k=%lld", (long long)L,
                                  (long long)n, (long long)p, (long long)k);
                }
            }
        }
    }
    // Width 0: every position 0.0, even those holding N.
    Array empty = make2(5, 0);
    std::int64_t ret = 0;
    std::vector<double> out = run_pwm({4, 0, 1, 9}, empty.g2(), &ret);
    CHECK(ret == -1);
    for (double v : out) CHECK(bits(v) == 0);
    CHECK(run_pwm({}, empty.g2(), &ret).empty() && ret == -1);
    Array three = make2(5, 3);
    CHECK(run_pwm({}, three.g2(), &ret).empty() && ret == -1);
}

void test_dwm_placement() {
    for (std::int64_t L : {1, 2, 3, 4, 5}) {
        // Equal bias and background models: every scored window is exactly 0.0.
        DwmModel d(L);
        for (int x = 0; x < 5; ++x)
            for (int m = 0; m < L; ++m) {
                const double v = uniform(-4, -0.5);
                d.bias_pwm.g2().store(x, m, v);
                d.bg_pwm.g2().store(x, m, v);
                for (int y = 0; y < 5; ++y)
                    for (int n = 0; n < L; ++n) {
                        const double w = uniform(-8, -1);
                        d.bias_dwm.g4().store(x, y, m, n, w);
                        d.bg_dwm.g4().store(x, y, m, n, w);
                    }
            }
        for (std::int64_t n : {L - 1, L, L + 1, std::int64_t{13}}) {
            for (std::int64_t p = -1; p < n; ++p) {
                std::vector<std::int64_t> codes = random_codes(n, 0.0);
                if (p >= 0) codes[p] = p % 2 ? 4 : 6;
                std::int64_t ret = 0;
                const std::vector<double> out = run_dwm(codes, d, &ret, static_cast<int>((p + 1) % 3));
                CHECK(ret == -1);
                const std::int64_t F = L / 2;
                for (std::int64_t k = 0; k < n; ++k) {
                    const std::int64_t s = k - F;
                    const bool scored = s >= 0 && s + L <= n && !(p >= s && p < s + L);
                    CHECK_MSG(bits(out[k]) == (scored ? 0ull : 0x7ff8000000000000ull), "L=%lld n=%lld p=%lld k=%lld",
                              (long long)L, (long long)n, (long long)p, (long long)k);
                }
            }
        }
    }
    // Width 1: the pair matrices are never read (NaN there changes nothing).
    DwmModel d(1);
    for (int x = 0; x < 4; ++x) {
        d.bias_pwm.g2().store(x, 0, std::log2(0.1 * (x + 1)));
        d.bg_pwm.g2().store(x, 0, -2.0);
    }
    for (int x = 0; x < 5; ++x)
        for (int y = 0; y < 5; ++y) d.bias_dwm.g4().store(x, y, 0, 0, kNaN), d.bg_dwm.g4().store(x, y, 0, 0, kNaN);
    std::int64_t ret = 0;
    const std::vector<double> out = run_dwm({0, 1, 2, 3, 4}, d, &ret);
    for (int x = 0; x < 4; ++x) CHECK(near(out[x], std::log2(0.1 * (x + 1)) - (-2.0), 1e-14));
    CHECK(std::isnan(out[4]));
}

void test_negative_codes() {
    Array pssm = make2(5, 4);
    DwmModel d(4);
    const std::int64_t neg[] = {-1, -4, std::numeric_limits<std::int64_t>::min()};
    for (std::int64_t n : {0, 1, 3, 4, 5, 40, 5000}) {
        for (std::int64_t at : {std::int64_t{0}, n / 2, n - 1, n - 2}) {
            if (at < 0 || at >= n) continue;
            for (int layout = 0; layout < 3; ++layout) {
                std::vector<std::int64_t> codes = random_codes(n, 0.1);
                codes[at] = neg[(at + layout) % 3];
                if (at + 1 < n) codes[n - 1] = -2;  // a later negative must not win
                std::int64_t ret = 0;
                run_pwm(codes, pssm.g2(), &ret, layout);
                CHECK_MSG(ret == at, "pwm n=%lld at=%lld got %lld", (long long)n, (long long)at, (long long)ret);
                ret = 0;
                run_dwm(codes, d, &ret, layout);
                CHECK_MSG(ret == at, "dwm n=%lld at=%lld got %lld", (long long)n, (long long)at, (long long)ret);
                Array empty = make2(5, 0);
                run_pwm(codes, empty.g2(), &ret, layout);
                CHECK(ret == at);
                Array wide = make2(5, n + 3);
                run_pwm(codes, wide.g2(), &ret, layout);
                CHECK(ret == at);
            }
        }
    }
}

// ------------------------------------------------- random differential
void fill_pssm(Array& a, std::int64_t L, bool with_inf) {
    for (int r = 0; r < 5; ++r)
        for (int m = 0; m < L; ++m) {
            double v = uniform(-3, 3) * std::pow(2.0, static_cast<double>(pick(-20, 20)));
            if (with_inf && pick(0, 30) == 0) v = pick(0, 1) ? kInf : -kInf;
            if (r == 4) v = kNaN;  // never read for a scored window
            a.g2().store(r, m, v);
        }
}

void test_pwm_random() {
    for (int trial = 0; trial < 400; ++trial) {
        const std::int64_t L = trial < 20 ? trial : pick(0, 40);
        const std::int64_t n = trial % 7 == 0 ? pick(4000, 12000) : pick(0, 300);
        Array pssm = make2(5, L, trial % 4);
        fill_pssm(pssm, L, trial % 3 == 0);
        const std::vector<std::int64_t> codes = random_codes(n, trial % 5 == 0 ? 0.0 : 0.02);
        std::vector<double> want;
        const std::int64_t wret = ref_pwm_score(codes, pssm.g2(), want);
        std::int64_t ret = 0;
        const std::vector<double> got = run_pwm(codes, pssm.g2(), &ret, trial % 3);
        CHECK(ret == wret);
        CHECK_MSG(same_bits(got, want), "trial %d L=%lld n=%lld", trial, (long long)L, (long long)n);
    }
}

void fill_dwm(DwmModel& d, bool realistic) {
    const std::int64_t L = d.L;
    if (realistic) {
        // Models made the way they are in use: counts, smoothing, log2.
        for (int model = 0; model < 2; ++model) {
            Array counts = make4(L), pwm = make2(5, L), dwm = make4(L);
            const int nseq = static_cast<int>(pick(0, 40));
            for (int k = 0; k < nseq; ++k) {
                Seq s(random_codes(L, 0.0));
                dwm_count(s.view, static_cast<std::int32_t>(L), counts.g4(), 1.0);
            }
            for (int y = 0; y < 5; ++y)
                for (int q = 0; q < L; ++q) {
                    double cm = 0;
                    for (int x = 0; x < 5; ++x)
                        for (int p = 0; p < L; ++p) cm += counts.g4().load(x, y, p, q);
                    pwm.g2().store(y, q, (cm / static_cast<double>(L) + 1) / (nseq + 4.0));
                }
            const double pseudo = nseq > 16 ? nseq : 16;
            dwm_pairs(counts.g4(), pwm.g2(), pseudo, nseq + pseudo, L, dwm.g4());
            const Array& P = model ? d.bias_pwm : d.bg_pwm;
            const Array& D = model ? d.bias_dwm : d.bg_dwm;
            for (int x = 0; x < 5; ++x)
                for (int m = 0; m < L; ++m) {
                    P.g2().store(x, m, std::log2(pwm.g2().load(x, m)));
                    for (int y = 0; y < 5; ++y)
                        for (int n = 0; n < L; ++n) D.g4().store(x, y, m, n, std::log2(dwm.g4().load(x, y, m, n)));
                }
        }
        return;
    }
    for (const Array* P : {&d.bias_pwm, &d.bg_pwm})
        for (int x = 0; x < 5; ++x)
            for (int m = 0; m < L; ++m) P->g2().store(x, m, x < 4 ? uniform(-6, -0.1) : kNaN);
    for (const Array* D : {&d.bias_dwm, &d.bg_dwm})
        for (int x = 0; x < 5; ++x)
            for (int y = 0; y < 5; ++y)
                for (int m = 0; m < L; ++m)
                    for (int n = 0; n < L; ++n)
                        D->g4().store(x, y, m, n, x < 4 && y < 4 && m != n ? uniform(-12, -0.2) : kNaN);
}

void test_dwm_random() {
    for (int trial = 0; trial < 120; ++trial) {
        const std::int64_t L = trial < 24 ? trial + 1 : pick(1, 22);
        const std::int64_t n = trial % 10 == 0 ? pick(4090, 4200) : pick(0, 120);
        DwmModel d(L, trial % 4);
        fill_dwm(d, trial % 2 == 0);
        const std::vector<std::int64_t> codes = random_codes(n, trial % 3 == 0 ? 0.0 : 0.03);
        std::int64_t wret = 0, ret = 0;
        const std::vector<double> want = ref_dwm(codes, d, &wret);
        const std::vector<double> got = run_dwm(codes, d, &ret, trial % 3);
        CHECK(ret == wret);
        CHECK_MSG(same_bits(got, want), "trial %d L=%lld n=%lld", trial, (long long)L, (long long)n);
        std::size_t scored = 0;
        for (double v : got) scored += !std::isnan(v);
        if (n >= 2 * L + 10 && trial % 3 == 0) CHECK(scored > 0);
    }
}

// ------------------------------------------------------ pow(2, x) lanes
std::uint64_t splitmix(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Inputs of the lanes at `level` whose powers differ from pow's, over count
// samples: a third like scoring's arguments, the rest across and past the
// kernel's range, any bit pattern, and tiny values, mixed within every batch.
std::int64_t pow2_mismatches(cpu::Level level, std::int64_t count, std::uint64_t seed) {
    std::int64_t bad = 0;
    std::vector<double> x(1 << 16), got(x.size());
    for (std::int64_t i0 = 0; i0 < count; i0 += static_cast<std::int64_t>(x.size())) {
        for (std::size_t j = 0; j < x.size(); ++j) {
            const std::uint64_t r = splitmix(seed);
            const double u = static_cast<double>(r >> 11) * 0x1p-53;
            switch ((j / 8 + j % 8) % 10) {
                    // clang-format off
                case 0: case 1: case 2: case 3: x[j] = -64.0 + 68.0 * u; break;  // what scoring produces
                case 4: case 5: x[j] = -1100.0 + 2200.0 * u; break;             // across and past the range
                case 6: case 7: {                                               // every bit pattern
                    // clang-format on
                    std::memcpy(&x[j], &r, 8);
                    break;
                }
                default: x[j] = std::ldexp(2.0 * u - 1.0, static_cast<int>(r % 81) - 70); break;  // tiny
            }
        }
        const std::size_t n =
            std::min<std::int64_t>(count - i0, static_cast<std::int64_t>(x.size())) & ~std::int64_t{7};
        pow2::apply(level, x.data(), got.data(), n);
        for (std::size_t j = 0; j < n; ++j) {
            const double want = std::pow(2.0, x[j]);
            if (std::memcmp(&want, &got[j], 8) != 0) {
                if (++bad <= 5) std::printf("pow2 lane mismatch at x=%a: %a vs %a\n", x[j], got[j], want);
            }
        }
    }
    return bad;
}

// Every level whose lanes this processor runs must reproduce pow on the
// sample, and a glibc that computes pow the known way must let scoring use them.
void test_pow2() {
    const cpu::Level widest = cpu::widest();
    for (const cpu::Level level : {cpu::Level::Avx512, cpu::Level::Avx2}) {
        if (static_cast<int>(widest) < static_cast<int>(level) || (level == cpu::Level::Avx2 && !cpu::has_fma())) {
            std::printf("pow(2, x) lanes for %s: not on this processor, scoring calls pow\n", cpu::name(level));
            CHECK(!pow2::available(level));
            continue;
        }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 28)
        // glibc's pow has computed this way since 2.28 wherever FMA is; losing
        // the lanes here would silently cost DWM scoring most of its speed.
        CHECK_MSG(pow2::available(level), "%s", cpu::name(level));
#endif
        // A lane that rounds one fused step apart differs on a few inputs in
        // ten million: fewer samples would let it pass.
        const std::int64_t count = 104'000'000;
        const std::int64_t bad = pow2_mismatches(level, count, 0x5eed);
        if (pow2::available(level))
            CHECK_MSG(bad == 0, "%s: %lld of %lld differ", cpu::name(level), static_cast<long long>(bad),
                      static_cast<long long>(count));
        std::printf("pow(2, x) lanes for %s %s: %lld inputs, %lld differ from pow\n", cpu::name(level),
                    pow2::available(level) ? "in use" : "not in use", static_cast<long long>(count),
                    static_cast<long long>(bad));
    }
    CHECK(!pow2::available(cpu::Level::Base));
}

// Searches in step, whatever the listing's length and however many are left for the last step,
// are std::upper_bound's; the fine bound takes each sum whole, in part or not at all, clips past
// the table's top and refuses below its start.
void test_tails() {
    std::mt19937_64 rng(11);
    for (std::int64_t n = 0; n <= 40; ++n) {
        // one spare element: an empty listing is still a listing (NumPy's empty arrays have data)
        std::vector<double> neg_d(static_cast<std::size_t>(n) + 1), cum(static_cast<std::size_t>(n) + 1);
        for (double& v : neg_d) v = static_cast<double>(rng() % 12) - 6.0;  // ties
        std::sort(neg_d.begin(), neg_d.begin() + n);
        for (std::size_t k = 0; k < cum.size(); ++k) cum[k] = 0.01 * static_cast<double>(k);
        tails::Table t;
        t.min_score = -100.0;
        t.max_score = 100.0;
        t.listed_from = -100.0;
        t.neg_d = neg_d.data();
        t.cum = cum.data();
        t.n_listed = n;
        t.coarse.lo = -1e6;
        for (std::int64_t m = 0; m <= 19; ++m) {
            std::vector<double> s(static_cast<std::size_t>(m)), p(static_cast<std::size_t>(m));
            for (double& v : s) v = static_cast<double>(rng() % 30) * 0.5 - 7.5;
            tails::read_off(t, s.data(), m, p.data());
            for (std::int64_t i = 0; i < m; ++i) {
                const auto k = std::upper_bound(neg_d.begin(), neg_d.begin() + n, -s[i]) - neg_d.begin();
                CHECK_MSG(bits(p[i]) == bits(cum[k]), "n %lld m %lld s %g", static_cast<long long>(n),
                          static_cast<long long>(m), s[i]);
            }
        }
    }
    // The fine bound: eps 1, lo -1 and no rounding bound, so x lies floor(64 (x + 1)) - 1
    // substeps past sum 0. Sums 2, 3 and 4 are tabled; sum 2 counts its probability times its
    // ratio and rise where one substep separates it from x's reach, sum 3 its probability (its
    // ratio 1: a tilted weight too small to trust). Each bound adds its guard for the rounding of
    // the probabilities from the tails: two sums' worth of 2^-51 of the lowest tail.
    const double fine_tails[] = {0.5, 0.25, 0.125, 0.0625}, rise[] = {1.0, 2.0};
    const float ratio[] = {0.4f, 1.0f, 0.016f};
    tails::Table t;
    t.min_score = -2.0;
    t.max_score = 10.0;
    t.listed_from = kInf;
    t.tails = fine_tails;
    t.ratio = ratio;
    t.rise = rise;
    t.n_fine = 3;
    t.n_rise = 2;
    t.fine_b = 2;
    t.fine.lo = -1.0;
    const double up = 1.0 + tails::kRounding;
    auto guarded = [](double sum, double lowest) { return sum + 2.0 * lowest * 0x1p-51; };
    const double s[] = {kNaN, 11.0, kInf, -kInf, -2.0, 0.0, 0.99, 1.0, 1.5, 2.0, 9.0};
    const double want[] = {kNaN,
                           0.0,
                           0.0,
                           1.0,
                           1.0,
                           kNaN,
                           guarded(0.5, 0.5) * up,
                           guarded(0.25 + 0.25 * (static_cast<double>(0.4f) * 2.0), 0.5) * up,
                           guarded(0.25, 0.25) * up,
                           guarded(0.125 + 0.125, 0.25) * up,
                           guarded(0.0625, 0.0625) * up};
    double p[11];
    tails::read_off(t, s, 11, p);
    for (int i = 0; i < 11; ++i) CHECK_MSG(bits(p[i]) == bits(want[i]), "s %g gives %g", s[i], p[i]);
    // from sum 0 on, scores below it count every word
    t.fine_b = 0;
    t.min_score = -10.0;
    const double low = -3.0;
    tails::read_off(t, &low, 1, p);
    CHECK_MSG(bits(p[0]) == bits(guarded(0.5, 0.5) * up), "from sum 0: %g", p[0]);
}

}  // namespace

int main() {
    test_coding();
    test_checks();
    test_counting();
    test_pairs();
    test_table_size();
    test_pow2();
    test_tails();
    const cpu::Level widest = cpu::widest();
    for (int lv = 0; lv <= static_cast<int>(widest); ++lv) {
        const cpu::Level got = cpu::limit(static_cast<cpu::Level>(lv));
        const int before = failures;
        test_pwm_example();
        test_dwm_example();
        test_pwm_placement();
        test_dwm_placement();
        test_negative_codes();
        test_pwm_random();
        test_dwm_random();
        std::printf("level %-6s %s\n", cpu::name(got), failures == before ? "ok" : "FAILED");
    }
    cpu::limit(widest);
    std::printf("%d checks, %d failures\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
