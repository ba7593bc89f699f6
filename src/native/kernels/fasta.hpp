// FASTA text read as nucleotide codes, one byte per base, in the text's own
// coordinates: every byte of a sequence line but ASCII whitespace is a base, and
// anything but A, C, G, T (either case) codes as N, so a stray NUL or a
// non-ASCII byte is an N in its place and never moves the bases after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace morvane::kernels::fasta {

// ASCII whitespace: no base, wherever it stands in a sequence line.
constexpr bool blank(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A record as a line of a samtools .fai describes it, with the line of its
// header. line_bases is 0 when the bases cannot be found from their number
// alone: the record is empty, or its lines do not all hold line_bases bases in
// line_width bytes (blanks only at their ends; the last line may be shorter).
struct Record {
    std::string name;
    std::int64_t header_line = 0;  // 1-based
    std::int64_t offset = 0;       // of the byte after the header line
    std::int64_t length = 0;
    std::int64_t line_bases = 0;
    std::int64_t line_width = 0;
};

// Reads FASTA text handed in pieces of any size, in order. A header is a line
// starting with '>'; its name is the first word after it.
class Reader {
public:
    // Codes the bases of text[0, n) into out (room for n codes) and returns how
    // many; each record whose header line ends in this piece is appended to
    // records() and the index in out where its bases begin to starts. Returns -1
    // when a base comes before the first header, on line().
    std::int64_t feed(const std::uint8_t* text, std::int64_t n, std::uint8_t* out, std::vector<std::int64_t>& starts);
    // The text has ended: the last record is complete (a last header line with
    // no '\n' opens an empty record, not reported in any starts).
    void finish();
    const std::vector<Record>& records() const { return records_; }
    std::int64_t line() const { return line_; }

private:
    enum class State { LineStart, Name, HeaderRest, Bases };
    std::int64_t bases(const std::uint8_t* text, std::int64_t n, std::uint8_t* out);
    void end_line(std::int64_t width);
    void open_record(std::int64_t offset);
    void close_record();

    State state_ = State::LineStart;
    std::int64_t offset_ = 0;  // of text[0] in the whole text
    std::int64_t line_ = 1;
    std::string name_;  // of the header being read
    bool in_name_ = false;
    std::int64_t header_line_ = 0;
    std::vector<Record> records_;
    bool open_ = false;  // records_.back() is being read
    // the sequence line being read
    std::int64_t line_count_ = 0, line_bytes_ = 0;
    bool line_blank_ = false;  // a blank met on it
    // the layout of the open record
    std::int64_t lb_ = 0, lw_ = 0;
    bool short_seen_ = false;  // a line shorter than lb_: it must be the last
    bool regular_ = true;
};

// Codes n bases of a record whose lines hold line_bases bases in line_width
// bytes, from text[0, size), which starts at the base in column `column` of its
// line. False when the text does not have that layout: a blank or a line end
// among the bases, a line end other than blanks closed by '\n', a line opening
// with '>', or too little text.
bool decode_lines(const std::uint8_t* text, std::int64_t size, std::int64_t column, std::int64_t line_bases,
                  std::int64_t line_width, std::uint8_t* out, std::int64_t n);

}  // namespace morvane::kernels::fasta
