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

// The decimal digits of d, most significant first; their count.
int digits_of(std::uint64_t d, char* text) {
    char buffer[20];
    char* end = buffer + sizeof buffer;
    const char* at = digits_before(d, end);
    const auto n = static_cast<int>(end - at);
    std::memcpy(text, at, static_cast<std::size_t>(n));
    return n;
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
        const int a = e < 0 ? -e : e;
        if (a < 10) out.push_back('0');
        put_int(out, a);
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

bool gff_reserved(std::uint32_t c) {
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

bool plain(unsigned char c, Escape escape) {
    if (escape == Escape::None) return true;
    if (escape == Escape::Field || escape == Escape::Word)
        return c != '\t' && c != '\n' && c != '\r' && (escape == Escape::Field || c != ' ');
    return !gff_reserved(c);
}

}  // namespace

void put_int(Cursor& out, std::int64_t v) {
    char text[21];
    char* end = text + sizeof text;
    char* at = end;
    // negated as unsigned, so that the most negative value has its digits too
    const std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    at = digits_before(u, at);
    if (v < 0) *--at = '-';
    out.append(at, static_cast<std::size_t>(end - at));
}

void put_repr(Cursor& out, double v) {
    if (std::signbit(v)) out.push_back('-');
    if (v == 0) {
        out.append("0.0");
        return;
    }
    const Decimal d = shortest(v);
    char digits[20];
    const int n = digits_of(d.digits, digits);
    const int point = d.exponent + n;
    lay_out(out, digits, n, point, point > -4 && point <= 16, true);
}

bool put_general(Cursor& out, double v, int precision) {
    if (v != 0 && std::fabs(v) < 2.2250738585072014e-308) return false;  // subnormal: its ulp is no longer small
    char digits[20];
    int n = 1, point = 1;
    digits[0] = '0';
    if (v != 0) {
        const Decimal d = shortest(v);
        n = digits_of(d.digits, digits);
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
    std::size_t n = width;
    while (n && data[n - 1] == '\0') --n;
    if (escape == Escape::None) {
        out.append(data, n);
        return;
    }
    // Bytes are UTF-8 already (or a name's raw bytes): every character a format reserves is
    // ASCII, and no byte of a multi-byte character is, so bytes are replaced one at a time.
    std::size_t run = 0;  // bytes from `run` on that need nothing, copied at once
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c >= 0x80 || plain(c, escape)) continue;
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
