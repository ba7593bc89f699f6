#include "text.hpp"

#include <cstring>

namespace morvane::kernels::text {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool gff_reserved(std::uint32_t c) { return c < 0x20 || c == 0x7F || c == ';' || c == '=' || c == '&' || c == ',' || c == '%'; }

void put_char(std::string& out, std::uint32_t c, Escape escape) {
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

void put_int(std::string& out, std::int64_t v) {
    char digits[20];
    int n = 0;
    // negated as unsigned, so that the most negative value has its digits too
    std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) out.push_back('-');
    while (n) out.push_back(digits[--n]);
}

void put_bytes(std::string& out, const char* data, std::size_t width, Escape escape) {
    std::size_t n = width;
    while (n && data[n - 1] == '\0') --n;
    std::size_t run = 0;  // bytes that need nothing, copied at once
    while (run < n && static_cast<unsigned char>(data[run]) < 0x80 && plain(static_cast<unsigned char>(data[run]), escape))
        ++run;
    out.append(data, run);
    // Bytes are Latin-1 text, as NumPy reads them into str.
    for (std::size_t i = run; i < n; ++i) put_char(out, static_cast<unsigned char>(data[i]), escape);
}

void put_ucs4(std::string& out, const char* data, std::size_t width, Escape escape) {
    std::size_t n = width;
    auto unit = [&](std::size_t i) {
        std::uint32_t c;
        std::memcpy(&c, data + 4 * i, 4);
        return c;
    };
    while (n && unit(n - 1) == 0) --n;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = unit(i);
        if (c < 0x80 && plain(static_cast<unsigned char>(c), escape))
            out.push_back(static_cast<char>(c));
        else
            put_char(out, c, escape);
    }
}

}  // namespace morvane::kernels::text
