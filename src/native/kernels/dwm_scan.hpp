// Fused DWM scanning: every dinucleotide model, both strands, threshold
// applied inside, hits in the PWM scanner's representation (scan.hpp).
//
// A window's score on the forward strand is dwm_score's double for the
// codes; on the reverse strand, for their reverse complement. Windows are
// ruled out by a bound that is proven to stay above that double (see
// dwm_scan.cpp); the rest get the exact score of dwm_window.hpp.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kernels.hpp"
#include "scan.hpp"

namespace morvane::kernels::scan {

// The four prepared log matrices of one model, as dwm_score reads them.
struct DwmModel {
    std::int64_t L = 0;
    Grid2 bias_pwm, bg_pwm;
    Grid4 bias_dwm, bg_dwm;
};

// The pair bound of one strand of one model, quantised for the head.
struct PairFilter {
    std::vector<std::uint8_t> tables;   // 16 per group: index code[lo] << 2 | code[hi]
    std::vector<double> exact;          // the same entries as doubles
    std::vector<std::int32_t> lo, hi;   // window offsets the group reads
    std::vector<std::uint16_t> limits;  // after group g of the head: sum >= limits[g] to go on
    std::size_t head = 0;               // groups summed in units before the doubles decide
    double cut = 0.0;                   // a window whose double bound is below cut cannot be a hit
    std::size_t size() const { return lo.size(); }
};

struct DwmMotif;

class DwmScanner {
public:
    // models[k] with L_k >= 1, read once.
    DwmScanner(const std::vector<DwmModel>& models, const std::vector<double>& thresholds, Strands strands);
    ~DwmScanner();
    DwmScanner(const DwmScanner&) = delete;
    DwmScanner& operator=(const DwmScanner&) = delete;

    std::int64_t count() const { return static_cast<std::int64_t>(widths_.size()); }
    const std::vector<std::int64_t>& widths() const { return widths_; }

    // As Scanner::scan. Thread-safe: the scanner is only read.
    void scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, Records& out, std::int64_t* tested) const;

    std::int64_t record_size() const { return record_bytes(widest_); }

private:
    std::vector<std::int64_t> widths_;
    std::vector<std::unique_ptr<DwmMotif>> motifs_;
    Strands strands_;
    std::int64_t widest_ = 0;
};

}  // namespace morvane::kernels::scan
