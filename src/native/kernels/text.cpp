#include "text.hpp"

#include <cmath>
#include <cstring>

#include "shortest_tables.hpp"

namespace morvane::kernels::text {
namespace {

// ---------------------------------------------------------------- shortest digits
// Ulf Adams' Ryu (PLDI 2018): the shortest decimal in the interval of reals that round to the
// double, the nearest one (ties to even) when several, from 128-bit products with powers of five.

using u128 = unsigned __int128;

int pow5bits(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 1217359u) >> 19) + 1; }
int log10_pow2(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 78913u) >> 18); }
int log10_pow5(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 732923u) >> 20); }

int pow5_factor(std::uint64_t v) {
    int n = 0;
    while (v % 5 == 0) {
        v /= 5;
        ++n;
    }
    return n;
}
bool multiple_of_pow5(std::uint64_t v, int p) { return pow5_factor(v) >= p; }
bool multiple_of_pow2(std::uint64_t v, int p) { return (v & ((std::uint64_t{1} << p) - 1)) == 0; }

std::uint64_t mul_shift(std::uint64_t m, const std::uint64_t* mul, int j) {
    const u128 low = static_cast<u128>(m) * mul[0];
    const u128 high = static_cast<u128>(m) * mul[1];
    return static_cast<std::uint64_t>(((low >> 64) + high) >> (j - 64));
}

struct Decimal {
    std::uint64_t digits;  // no trailing zeros
    int exponent;          // of the last digit
};

// v finite and not zero; its sign is not looked at.
Decimal shortest(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const int e2 = (biased ? biased : 1) - 1023 - 52 - 2;
    const std::uint64_t m2 = biased ? (std::uint64_t{1} << 52) | mantissa : mantissa;
    const bool accept_bounds = (m2 & 1) == 0;
    const std::uint64_t mv = 4 * m2;
    const std::uint32_t mm_shift = mantissa != 0 || biased <= 1;

    std::uint64_t vr, vp, vm;
    int e10;
    bool vm_zeros = false, vr_zeros = false;
    if (e2 >= 0) {
        const int q = log10_pow2(e2) - (e2 > 3);
        e10 = q;
        const int i = -e2 + q + kPow5Bits + pow5bits(q) - 1;
        vr = mul_shift(4 * m2, kPow5Inv[q], i);
        vp = mul_shift(4 * m2 + 2, kPow5Inv[q], i);
        vm = mul_shift(4 * m2 - 1 - mm_shift, kPow5Inv[q], i);
        if (q <= 21) {
            if (mv % 5 == 0)
                vr_zeros = multiple_of_pow5(mv, q);
            else if (accept_bounds)
                vm_zeros = multiple_of_pow5(mv - 1 - mm_shift, q);
            else
                vp -= multiple_of_pow5(mv + 2, q);
        }
    } else {
        const int q = log10_pow5(-e2) - (-e2 > 1);
        e10 = q + e2;
        const int i = -e2 - q;
        const int j = q - (pow5bits(i) - kPow5Bits);
        vr = mul_shift(4 * m2, kPow5[i], j);
        vp = mul_shift(4 * m2 + 2, kPow5[i], j);
        vm = mul_shift(4 * m2 - 1 - mm_shift, kPow5[i], j);
        if (q <= 1) {
            vr_zeros = true;
            if (accept_bounds)
                vm_zeros = mm_shift == 1;
            else
                --vp;
        } else if (q < 63) {
            vr_zeros = multiple_of_pow2(mv, q);
        }
    }

    int removed = 0;
    int last = 0;  // the last digit removed from vr
    std::uint64_t out;
    if (vm_zeros || vr_zeros) {
        while (vp / 10 > vm / 10) {
            vm_zeros &= vm % 10 == 0;
            vr_zeros &= last == 0;
            last = static_cast<int>(vr % 10);
            vr /= 10;
            vp /= 10;
            vm /= 10;
            ++removed;
        }
        if (vm_zeros) {
            while (vm % 10 == 0) {
                vr_zeros &= last == 0;
                last = static_cast<int>(vr % 10);
                vr /= 10;
                vp /= 10;
                vm /= 10;
                ++removed;
            }
        }
        if (vr_zeros && last == 5 && vr % 2 == 0) last = 4;  // exactly halfway: to even
        out = vr + ((vr == vm && (!accept_bounds || !vm_zeros)) || last >= 5);
    } else {
        bool up = false;
        while (vp / 10 > vm / 10) {
            up = vr % 10 >= 5;
            vr /= 10;
            vp /= 10;
            vm /= 10;
            ++removed;
        }
        out = vr + (vr == vm || up);
    }
    int exponent = e10 + removed;
    while (out % 10 == 0) {
        out /= 10;
        ++exponent;
    }
    return {out, exponent};
}

// 10^0 to 10^19.
constexpr std::uint64_t kPow10[] = {1,
                                    10,
                                    100,
                                    1000,
                                    10000,
                                    100000,
                                    1000000,
                                    10000000,
                                    100000000,
                                    1000000000,
                                    10000000000,
                                    100000000000,
                                    1000000000000,
                                    10000000000000,
                                    100000000000000,
                                    1000000000000000,
                                    10000000000000000,
                                    100000000000000000,
                                    1000000000000000000,
                                    10000000000000000000u};

// "00" to "99": two digits a division, and 32-bit divisions below 10^8, since one long chain of
// 64-bit divisions by 10 took most of a number's time.
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of d written to end just before `end`; where they start.
char* digits_before(std::uint64_t d, char* end) {
    char* at = end;
    while (d >= 100000000) {
        const std::uint64_t high = d / 100000000;
        auto low = static_cast<std::uint32_t>(d - high * 100000000);
        for (int k = 0; k < 4; ++k) {
            at -= 2;
            std::memcpy(at, kPairs + 2 * (low % 100), 2);
            low /= 100;
        }
        d = high;
    }
    auto rest = static_cast<std::uint32_t>(d);
    while (rest >= 100) {
        at -= 2;
        std::memcpy(at, kPairs + 2 * (rest % 100), 2);
        rest /= 100;
    }
    if (rest >= 10) {
        at -= 2;
        std::memcpy(at, kPairs + 2 * rest, 2);
    } else {
        *--at = static_cast<char>('0' + rest);
    }
    return at;
}

// The decimal digits of d, most significant first, at the end of `buffer`: where they start.
char* digits_of(std::uint64_t d, char (&buffer)[20], int* n) {
    char* const at = digits_before(d, buffer + sizeof buffer);
    *n = static_cast<int>(buffer + sizeof buffer - at);
    return at;
}

// digits (n of them) times 10^(point - n): fixed, or with an exponent of at least two digits.
void lay_out(Cursor& out, const char* digits, int n, int point, bool fixed, bool point_zero) {
    if (!fixed) {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits + 1, static_cast<std::size_t>(n - 1));
        }
        const int e = point - 1;
        out.push_back('e');
        out.push_back(e < 0 ? '-' : '+');
        const int a = e < 0 ? -e : e;  // below 400
        if (a >= 100) out.push_back(static_cast<char>('0' + a / 100));
        out.append(kPairs + 2 * (a % 100), 2);
    } else if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, static_cast<std::size_t>(n));
    } else if (point >= n) {
        out.append(digits, static_cast<std::size_t>(n));
        out.append(static_cast<std::size_t>(point - n), '0');
        if (point_zero) out.append(".0");
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits + point, static_cast<std::size_t>(n - point));
    }
}

constexpr char kHex[] = "0123456789ABCDEF";

constexpr bool gff_reserved(std::uint32_t c) {
    return c < 0x20 || c == 0x7F || c == ';' || c == '=' || c == '&' || c == ',' || c == '%';
}

void put_char(Cursor& out, std::uint32_t c, Escape escape) {
    if ((escape == Escape::Field || escape == Escape::Word) && (c == '\t' || c == '\n' || c == '\r')) {
        out.push_back(escape == Escape::Field ? ' ' : '_');
    } else if (escape == Escape::Word && c == ' ') {
        out.push_back('_');
    } else if (escape == Escape::Gff && gff_reserved(c)) {
        const char code[3] = {'%', kHex[c >> 4], kHex[c & 15]};
        out.append(code, 3);
    } else if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
        out.push_back(static_cast<char>(c - 0xDC00));  // a byte of a file name that was not UTF-8, given back
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        out.append("\xEF\xBF\xBD");  // U+FFFD: no character of its own in UTF-8
    } else if (c < 0x800) {
        const char u[2] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        out.append(u, 2);
    } else if (c < 0x10000) {
        const char u[3] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (c & 0x3F))};
        out.append(u, 3);
    } else {
        const char u[4] = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                           static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        out.append(u, 4);
    }
}

// Which ASCII characters each escape replaces, looked up: the test of every byte of a name.
struct Reserved {
    bool of[4][128] = {};
};
constexpr Reserved reserved() {
    Reserved r;
    for (int c = 0; c < 128; ++c) {
        const bool ends = c == '\t' || c == '\n' || c == '\r';
        r.of[static_cast<int>(Escape::Field)][c] = ends;
        r.of[static_cast<int>(Escape::Word)][c] = ends || c == ' ';
        r.of[static_cast<int>(Escape::Gff)][c] = gff_reserved(static_cast<std::uint32_t>(c));
    }
    return r;
}
constexpr Reserved kReserved = reserved();

bool plain(unsigned char c, Escape escape) { return !kReserved.of[static_cast<int>(escape)][c]; }

// The length of a NumPy bytes field without its trailing NULs, 8 bytes a test: windows of every
// width padded to the longest, stripped a byte at a time, mispredicted on each row.
std::size_t unpadded(const char* data, std::size_t n) {
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, data + n - 8, 8);
        if (w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return n - static_cast<std::size_t>(__builtin_ctzll(w) >> 3);
#else
            return n - static_cast<std::size_t>(__builtin_clzll(w) >> 3);  // the last byte the highest
#endif
        }
        n -= 8;
    }
    while (n && data[n - 1] == '\0') --n;
    return n;
}

}  // namespace

void put_int(Cursor& out, std::int64_t v) {
    // negated as unsigned, so that the most negative value has its digits too
    const std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    if (v < 0) out.push_back('-');
    // the digits counted first (floor(log10) from the bit length, mended by one comparison) and
    // written in place from the last: no copy through a scratch buffer
    const int t = ((64 - __builtin_clzll(u | 1)) * 1233) >> 12;
    const int n = t + ((u | 1) >= kPow10[t]);
    digits_before(u, out.at + n);
    out.at += n;
}

void put_repr(Cursor& out, double v) {
    if (std::signbit(v)) out.push_back('-');
    if (v == 0) {
        out.append("0.0");
        return;
    }
    const Decimal d = shortest(v);
    char buffer[20];
    int n;
    const char* digits = digits_of(d.digits, buffer, &n);
    const int point = d.exponent + n;
    lay_out(out, digits, n, point, point > -4 && point <= 16, true);
}

namespace {

// 5^0 to 5^27: with kPow10, the powers of ten by which the digits below are scaled exactly.
constexpr int kMostPow5 = 27;
constexpr std::uint64_t kSmallPow5[kMostPow5 + 1] = {1,
                                                     5,
                                                     25,
                                                     125,
                                                     625,
                                                     3125,
                                                     15625,
                                                     78125,
                                                     390625,
                                                     1953125,
                                                     9765625,
                                                     48828125,
                                                     244140625,
                                                     1220703125,
                                                     6103515625,
                                                     30517578125,
                                                     152587890625,
                                                     762939453125,
                                                     3814697265625,
                                                     19073486328125,
                                                     95367431640625,
                                                     476837158203125,
                                                     2384185791015625,
                                                     11920928955078125,
                                                     59604644775390625,
                                                     298023223876953125,
                                                     1490116119384765625,
                                                     7450580596923828125};

// m * 2^e2 * 10^j as an integer part and how the rest compares with one half (-1 below, 0 equal,
// 1 above), exactly; false when that takes more than 128 bits or a power of five past the table.
bool scaled(std::uint64_t m, int e2, int j, u128* whole, int* rest) {
    auto compare = [](u128 twice, u128 unit) { return twice < unit ? -1 : twice == unit ? 0 : 1; };
    if (j >= 0) {
        if (j > kMostPow5) return false;
        const u128 p = static_cast<u128>(m) * kSmallPow5[j];  // below 2^117
        const int s = e2 + j;
        if (s >= 0) {
            if (s > 10) return false;  // past 2^127, and no value of n digits
            *whole = p << s;
            *rest = -1;
        } else if (s <= -128) {
            *whole = 0;
            *rest = -1;
        } else {
            const u128 low = p & ((static_cast<u128>(1) << -s) - 1);
            *whole = p >> -s;
            *rest = compare(low, static_cast<u128>(1) << (-s - 1));
        }
        return true;
    }
    if (-j > 19) return false;
    const std::uint64_t d = kPow10[-j];
    if (e2 >= 0) {
        if (e2 > 74) return false;
        const u128 v = static_cast<u128>(m) << e2;
        if (v >> 64 == 0) {  // the usual case, in 64-bit division
            const auto v64 = static_cast<std::uint64_t>(v);
            *whole = v64 / d;
            *rest = compare(2 * static_cast<u128>(v64 % d), d);
        } else {
            *whole = v / d;
            *rest = compare(2 * (v % d), d);
        }
        return true;
    }
    if (-e2 > 63) return false;
    const u128 unit = static_cast<u128>(d) << -e2;
    if (unit >> 64) {
        *whole = 0;  // m is below 2^53
        *rest = -1;
    } else {
        const auto u64 = static_cast<std::uint64_t>(unit);
        *whole = m / u64;
        *rest = compare(2 * static_cast<u128>(m % u64), unit);
    }
    return true;
}

// 10^-30 to 10^40 to the nearest double: the decimal exponents the exact digits reach.
constexpr int kLeastTen = -30;
constexpr double kTens[] = {1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19,
                            1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,
                            1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,
                            1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,
                            1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,
                            1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40};

// The `precision` significant digits of a positive normal double, rounded half to even, and the
// decimal exponent of the first: exactly from the double's own bits, when scaled() can.
bool rounded(double v, int precision, std::uint64_t* digits, int* e10) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t m = (std::uint64_t{1} << 52) | (bits & ((std::uint64_t{1} << 52) - 1));
    const int e2 = biased - 1075;
    const std::uint64_t top = kPow10[precision];
    // floor(log10 v) or one below it, v being in [2^(e2 + 52), 2^(e2 + 53)) (78913 / 2^18 is
    // log10(2) to 6 digits, the shift rounding down, negatives too); the tries mend a guess off by
    // one either way
    int e = ((e2 + 52) * 78913) >> 18;
    // mended at once where scaled() can go (else a third of the guesses take a second try)
    if (e >= kLeastTen && e < kLeastTen + static_cast<int>(sizeof kTens / sizeof kTens[0]) - 1)
        e += v >= kTens[e + 1 - kLeastTen];
    for (int tries = 0; tries < 3; ++tries) {
        u128 whole;
        int rest;
        if (!scaled(m, e2, precision - 1 - e, &whole, &rest)) return false;
        if (whole >= top) {
            ++e;
            continue;
        }
        if (whole < top / 10) {
            --e;
            continue;
        }
        auto q = static_cast<std::uint64_t>(whole);
        q += rest > 0 || (rest == 0 && (q & 1));
        if (q == top) {
            q = top / 10;
            ++e;
        }
        *digits = q;
        *e10 = e;
        return true;
    }
    return false;
}

}  // namespace

bool put_general(Cursor& out, double v, int precision) {
    if (v != 0 && std::fabs(v) < 2.2250738585072014e-308) return false;  // subnormal: its ulp is no longer small
    char buffer[20];
    char* digits;
    int n, point;
    std::uint64_t exact;
    int e10;
    if (v == 0) {
        digits = digits_of(0, buffer, &n);
        point = 1;
    } else if (rounded(std::fabs(v), precision, &exact, &e10)) {
        while (exact % 10 == 0) exact /= 10;  // %g drops trailing zeros
        digits = digits_of(exact, buffer, &n);
        point = e10 + 1;
    } else {
        if (precision > 15) return false;  // past that, digits of the double beyond its shortest ones show
        const Decimal d = shortest(v);
        digits = digits_of(d.digits, buffer, &n);
        point = d.exponent + n;
        if (n == precision + 1) return false;
        if (n > precision) {
            // two or more digits past the last kept, the last not 0: never a tie
            const bool up = digits[precision] >= '5';
            n = precision;
            for (int k = n - 1; up && k >= 0; --k) {
                if (digits[k] == '9') {
                    digits[k] = '0';
                    if (k == 0) {
                        digits[0] = '1';
                        ++point;
                    }
                } else {
                    ++digits[k];
                    break;
                }
            }
            while (n > 1 && digits[n - 1] == '0') --n;
        }
    }
    if (std::signbit(v)) out.push_back('-');
    const int x = point - 1;
    lay_out(out, digits, n, point, x >= -4 && x < precision, false);
    return true;
}

void put_bytes(Cursor& out, const char* data, std::size_t width, Escape escape) {
    const std::size_t n = unpadded(data, width);
    if (escape == Escape::None) {
        out.append(data, n);
        return;
    }
    // Bytes are UTF-8 already (or a name's raw bytes): every character a format reserves is
    // ASCII, and no byte of a multi-byte character is, so bytes are replaced one at a time.
    const bool* const replaced = kReserved.of[static_cast<int>(escape)];
    std::size_t run = 0;  // bytes from `run` on that need nothing, copied at once
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c >= 0x80 || !replaced[c]) continue;
        out.append(data + run, i - run);
        put_char(out, c, escape);
        run = i + 1;
    }
    out.append(data + run, n - run);
}

void put_ucs4(Cursor& out, const char* data, std::size_t width, Escape escape) {
    auto unit = [&](std::size_t i) {
        std::uint32_t c;
        std::memcpy(&c, data + 4 * i, 4);
        return c;
    };
    std::size_t n = width;
    for (std::uint64_t w = 0; n >= 2; n -= 2) {  // the padding two units a test, as for bytes
        std::memcpy(&w, data + 4 * (n - 2), 8);
        if (w) break;
    }
    while (n && unit(n - 1) == 0) --n;
    // plain ASCII, the usual field, straight into place; the rest character by character
    std::size_t i = 0;
    for (; i < n; ++i) {
        const std::uint32_t c = unit(i);
        if (c >= 0x80 || !plain(static_cast<unsigned char>(c), escape)) break;
        out.push_back(static_cast<char>(c));
    }
    for (; i < n; ++i) put_char(out, unit(i), escape);
}

}  // namespace morvane::kernels::text
