// Text of output rows, appended to a byte buffer: decimal integers and the
// fields of fixed-width string columns (bytes or UCS4, as NumPy stores them),
// UTF-8, with the characters a format reserves replaced or escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvane::kernels::text {

// Where text goes: a buffer its user has made room in (the bounds below), so that the many short
// pieces of a row are written with no check of their own.
struct Cursor {
    char* at;
    void push_back(char c) { *at++ = c; }
    void append(const char* s, std::size_t n) {
        // most pieces are a few bytes: copied in two overlapping words, not through a call
        if (n > 16 && n <= 32) {
            std::memcpy(at, s, 16);
            std::memcpy(at + n - 16, s + n - 16, 16);
        } else if (n >= 8 && n <= 16) {
            std::memcpy(at, s, 8);
            std::memcpy(at + n - 8, s + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(at, s, 4);
            std::memcpy(at + n - 4, s + n - 4, 4);
        } else if (n > 0 && n < 4) {
            at[0] = s[0];
            at[n / 2] = s[n / 2];
            at[n - 1] = s[n - 1];
        } else {
            std::memcpy(at, s, n);
        }
        at += n;
    }
    void append(const char* s) { append(s, std::strlen(s)); }
    void append(std::size_t n, char c) {
        std::memset(at, c, n);
        at += n;
    }
};

// The most that put_int and put_repr or put_general write; put_bytes writes at most 3 bytes a
// unit, put_ucs4 at most 4.
constexpr std::size_t kIntRoom = 20;
constexpr std::size_t kDoubleRoom = 32;

// What becomes of the characters that would end a field or a row.
enum class Escape {
    None,   // copied as they are
    Field,  // tab, newline and carriage return become a space: one field of a TSV row
    Gff,    // a GFF3 attribute value: those, control characters and ; = & , % percent-encoded
    Word,   // tab, newline, carriage return and space become '_': a BED field, split on any blank
};

void put_int(Cursor& out, std::int64_t v);

// A finite double as Python's repr() writes it: the shortest digits that read back to it (the
// nearest such), in fixed notation for decimal exponents -4 to 15, else as d.ddde+XX.
void put_repr(Cursor& out, double v);

// A finite double as C's "%.{precision}g" (and Python's format(v, ".{precision}g")) writes it,
// precision 1 to 17. Its digits are scaled exactly from the double in 128-bit integers when the
// power of ten that takes is within 10^27 and 10^-19 (p-values down to some 1e-22); further out
// its shortest digits are rounded, when they decide the rounding. False, writing nothing, when
// neither can: the shortest digits are exactly precision + 1 long (a tie may lie between them and
// the double), precision is past 15 (digits beyond the shortest ones show), or v is subnormal.
bool put_general(Cursor& out, double v, int precision);

// One fixed-width field: `width` units from `data`, trailing NULs not part of it. Bytes are
// taken as UTF-8 (written as they are), UCS4 is encoded to it.
void put_bytes(Cursor& out, const char* data, std::size_t width, Escape escape);
void put_ucs4(Cursor& out, const char* data, std::size_t width, Escape escape);

}  // namespace morvane::kernels::text
