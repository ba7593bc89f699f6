// Text of output rows, appended to a byte buffer: decimal integers and the
// fields of fixed-width string columns (bytes or UCS4, as NumPy stores them),
// UTF-8, with the characters a format reserves replaced or escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvane::kernels::text {

// What becomes of the characters that would end a field or a row.
enum class Escape {
    None,   // copied as they are
    Field,  // tab, newline and carriage return become a space: one field of a TSV row
    Gff,    // a GFF3 attribute value: those, control characters and ; = & , % percent-encoded
    Word,   // tab, newline, carriage return and space become '_': a BED field, split on any blank
};

void put_int(std::string& out, std::int64_t v);

// A finite double as Python's repr() writes it: the shortest digits that read back to it (the
// nearest such), in fixed notation for decimal exponents -4 to 15, else as d.ddde+XX.
void put_repr(std::string& out, double v);

// A finite double as C's "%.{precision}g" (and Python's format(v, ".{precision}g")) writes it,
// when its shortest digits decide the rounding: false, writing nothing, when they are exactly
// precision + 1 digits long (a tie may lie between them and the double), or the double is
// subnormal. precision 1 to 15: past that, digits of the double beyond its shortest ones show.
bool put_general(std::string& out, double v, int precision);

// One fixed-width field: `width` units from `data`, trailing NULs not part of it. Bytes are
// taken as UTF-8 (written as they are), UCS4 is encoded to it.
void put_bytes(std::string& out, const char* data, std::size_t width, Escape escape);
void put_ucs4(std::string& out, const char* data, std::size_t width, Escape escape);

}  // namespace morvane::kernels::text
