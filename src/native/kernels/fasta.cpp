#include "kernels/fasta.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/kernels.hpp"

namespace morvane::kernels::fasta {
namespace {

// Whether any of text[0, n) is a byte up to ' ': blanks and control bytes, rare
// among bases, so the bases of a line are checked sixteen at a time.
bool has_low(const std::uint8_t* text, std::int64_t n) {
    const __m128i space = _mm_set1_epi8(' ');
    std::int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, space), v))) return true;
    }
    for (; i < n; ++i)
        if (text[i] <= ' ') return true;
    return false;
}

bool has_blank(const std::uint8_t* text, std::int64_t n) {
    return has_low(text, n) && std::any_of(text, text + n, blank);
}

}  // namespace

// Codes one stretch of a sequence line (no '\n' in it).
std::int64_t Reader::bases(const std::uint8_t* text, std::int64_t n, std::uint8_t* out) {
    std::int64_t core = n;  // blanks closing the stretch (a '\r' before '\n') are set aside first
    while (core > 0 && blank(text[core - 1])) --core;
    std::int64_t k = 0;
    if (!has_low(text, core)) {
        if (core > 0 && line_blank_) regular_ = false;
        encode(text, core, out);
        k = core;
    } else {
        for (std::int64_t i = 0; i < core; ++i) {
            if (blank(text[i])) {
                line_blank_ = true;
                continue;
            }
            if (line_blank_) regular_ = false;  // a base after a blank: its place is not its column
            out[k++] = static_cast<std::uint8_t>(code_of(text[i]));
        }
    }
    if (core < n) line_blank_ = true;
    line_count_ += k;
    return k;
}

void Reader::end_line(std::int64_t width) {
    const std::int64_t b = line_count_;
    if (b == 0) {
        short_seen_ = true;  // a blank line: only blank lines may follow
        return;
    }
    records_.back().length += b;
    if (short_seen_)
        regular_ = false;
    else if (lb_ == 0) {
        lb_ = b;
        lw_ = width;
    } else if (b > lb_ || (b == lb_ && width != lw_))
        regular_ = false;
    else if (b < lb_)
        short_seen_ = true;
}

void Reader::close_record() {
    if (!open_) return;
    if (state_ == State::Bases) end_line(line_bytes_ + 1);  // a last line with no '\n'
    Record& r = records_.back();
    if (regular_ && r.length > 0) {
        r.line_bases = lb_;
        r.line_width = lw_;
    }
    open_ = false;
}

void Reader::open_record(std::int64_t offset) {
    Record r;
    r.name = name_;
    r.header_line = header_line_;
    r.offset = offset;
    records_.push_back(std::move(r));
    open_ = true;
    lb_ = lw_ = 0;
    short_seen_ = false;
    regular_ = true;
    state_ = State::LineStart;
}

std::int64_t Reader::feed(const std::uint8_t* text, std::int64_t n, std::uint8_t* out,
                          std::vector<std::int64_t>& starts) {
    std::int64_t i = 0, k = 0;
    while (i < n) {
        switch (state_) {
            case State::LineStart: {
                const std::uint8_t c = text[i];
                if (c == '>') {
                    close_record();
                    state_ = State::Name;
                    name_.clear();
                    in_name_ = false;
                    header_line_ = line_;
                    ++i;
                    break;
                }
                if (!open_) {  // before the first header: blank lines only
                    if (!blank(c)) return -1;
                    if (c == '\n') ++line_;
                    ++i;
                    break;
                }
                state_ = State::Bases;
                line_count_ = line_bytes_ = 0;
                line_blank_ = false;
                [[fallthrough]];
            }
            case State::Bases: {
                const void* nl = std::memchr(text + i, '\n', static_cast<std::size_t>(n - i));
                const std::int64_t end = nl ? static_cast<const std::uint8_t*>(nl) - text : n;
                k += bases(text + i, end - i, out + k);
                line_bytes_ += end - i;
                i = end;
                if (nl) {
                    end_line(line_bytes_ + 1);
                    ++line_;
                    ++i;
                    state_ = State::LineStart;
                }
                break;
            }
            case State::Name:
            case State::HeaderRest: {
                const std::uint8_t c = text[i++];
                if (c == '\n') {
                    open_record(offset_ + i);
                    starts.push_back(k);
                    ++line_;
                } else if (state_ == State::Name) {
                    if (!blank(c)) {
                        name_.push_back(static_cast<char>(c));
                        in_name_ = true;
                    } else if (in_name_) {
                        state_ = State::HeaderRest;
                    }
                }
                break;
            }
        }
    }
    offset_ += n;
    return k;
}

void Reader::finish() {
    if (state_ == State::Name || state_ == State::HeaderRest) open_record(offset_);  // a last header with no '\n'
    close_record();
}

bool decode_lines(const std::uint8_t* text, std::int64_t size, std::int64_t column, std::int64_t line_bases,
                  std::int64_t line_width, std::uint8_t* out, std::int64_t n) {
    const std::int64_t end_width = line_width - line_bases;
    if (line_bases <= 0 || end_width < 1 || column < 0 || column >= line_bases) return false;
    std::int64_t i = 0, k = 0, col = column;
    while (k < n) {
        if (col == line_bases) {
            if (end_width > size - i) return false;
            for (std::int64_t j = 0; j + 1 < end_width; ++j)
                if (!blank(text[i + j]) || text[i + j] == '\n') return false;
            if (text[i + end_width - 1] != '\n') return false;
            i += end_width;
            col = 0;
        }
        const std::int64_t run = std::min(line_bases - col, n - k);
        if (run > size - i) return false;
        if (col == 0 && text[i] == '>') return false;
        if (has_blank(text + i, run)) return false;
        encode(text + i, run, out + k);
        i += run;
        k += run;
        col += run;
    }
    return true;
}

}  // namespace morvane::kernels::fasta
