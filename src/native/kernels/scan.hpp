// Fused multi-motif, both-strand scanning over one-byte nucleotide codes:
// plain C++, no Python objects.
//
// A window's score on the forward strand is the sum over m ascending, from
// 0.0, of P[codes[s+m], m]; on the reverse strand, of P[codes[s+L-1-m] ^ 1, m]
// (the reverse complement read against the same matrix). Those are the doubles
// the PWM scorer gives for the forward codes and for their reverse complement,
// so a reported score never depends on how the scan found the window.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels.hpp"

namespace morvane::kernels::scan {

struct Hit {
    std::int64_t start;  // window start, forward coordinates for both strands
    std::int32_t motif;
    std::int8_t strand;  // +1 forward, -1 reverse
    double score;
};

enum Strands : unsigned { kForward = 1, kReverse = 2, kBoth = 3 };

constexpr std::int64_t kBlock = 8192;  // windows per block of a chunk, hits sorted and written per block

// A hit as the module hands it out: one packed record, its fields at these
// byte offsets (motif int32, start int64, strand int8, score double), the
// window last, as the widest motif's width of bytes.
namespace record {
constexpr std::int64_t kMotif = 0, kStart = 4, kStrand = 12, kScore = 13, kWindow = 21;
}

// One matrix prepared for scanning: its columns on each strand, and the
// tables that bound two columns' sum with one lookup.
struct Motif;

// Bytes of one hit record whose widest window is `widest`.
inline std::int64_t record_bytes(std::int64_t widest) { return record::kWindow + (widest > 0 ? widest : 1); }

// A buffer std::malloc gave: its size, and how many of its first bytes have
// been written (their pages are mapped).
struct Buffer {
    char* data = nullptr;
    std::int64_t bytes = 0, written = 0;
};

// The records of one scan's hits, written block by block into one buffer
// that grows as blocks come (realloc moves a large buffer's pages without
// copying them), so that each hit is written once, while its block's codes
// are in cache, into the memory handed out at the end. A record holds the
// hit's start plus offset, and its window of widths[motif] codes as read on
// its strand in the letters A, C, G, T, then NUL to the record's end: every
// byte of it, whatever the buffer held before.
class Records {
public:
    // widths[k]: matrix k's; the records are as wide as a scanner's of these
    // widths. They go into start first (taken, and freed unless released).
    Records(const std::vector<std::int64_t>& widths, std::int64_t offset, Buffer start = {});
    ~Records();
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    // Appends the hits of the block of windows at b0 (starts below b0 + kBlock),
    // found[0..count) in any order of start but, within one start, in the
    // order wanted, ordered by start. codes[0..n) are those they were found in.
    void add_block(const Hit* found, std::int64_t count, std::int64_t b0, const std::uint8_t* codes, std::int64_t n);

    std::int64_t count() const { return count_; }
    std::int64_t record_size() const { return size_; }
    // The buffer holding the count() records at its start, now the caller's.
    Buffer release();

private:
    void reserve(std::int64_t records);
    const std::int64_t* widths_;
    std::int64_t widest_ = 0, size_ = 0, offset_;
    Buffer buffer_;
    std::int64_t count_ = 0, capacity_ = 0;
    std::vector<Hit> sorted_;
    std::vector<std::int32_t> at_;
    std::vector<char> forward_, reverse_;  // the block's letters, and their reverse complement
    std::vector<char> mask_;               // which bytes of a window piece to keep, by width
};

class Scanner {
public:
    // matrices[k]: rows 0..3 (codes A, T, C, G) and L_k >= 1 columns, read once.
    Scanner(const std::vector<Grid2>& matrices, const std::vector<double>& thresholds, Strands strands);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    std::int64_t count() const { return static_cast<std::int64_t>(widths_.size()); }
    const std::vector<std::int64_t>& widths() const { return widths_; }

    // Appends every hit among the windows starting before limit (0 <= limit)
    // to out, ordered by start, then motif, then forward before reverse, and
    // adds each motif's number of N-free windows starting before limit, once
    // for each strand scanned, to tested[k]. codes[i] > 3 is N. Thread-safe:
    // the scanner is only read.
    void scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, Records& out, std::int64_t* tested) const;

    // The best of `count` windows of matrix `motif` starting at codes[first], on both strands:
    // the highest score, scored as scan scores it (NaN, from a matrix holding NaN or both
    // infinities, below every number); among equal ones the lowest start, forward before
    // reverse. Windows holding N are passed over; `windows` counts the others, once per strand.
    // With none, score is NaN, start -1 and strand 0. The windows must lie within codes.
    struct Best {
        double score;
        std::int64_t start;
        std::int8_t strand;
        std::int64_t windows;
    };
    Best best(const std::uint8_t* codes, std::int64_t first, std::int64_t count, std::int32_t motif) const;

    // Bytes of one hit record: the fields, then the widest window (at least one byte).
    std::int64_t record_size() const { return record_bytes(widest_); }

private:
    std::vector<std::int64_t> widths_;
    std::vector<Motif> motifs_;
    Strands strands_;
    std::int64_t widest_ = 0;
};

}  // namespace morvane::kernels::scan
