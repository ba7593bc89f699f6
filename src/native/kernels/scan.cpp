// Fused scanning: every motif, both strands, threshold applied inside.
#include "scan.hpp"

#include <algorithm>
#include <array>

namespace morvane::kernels::scan {

namespace {

struct ByteCodes {
    std::array<std::uint8_t, 256> code{};
    constexpr ByteCodes() {
        for (int c = 0; c < 256; ++c) code[c] = static_cast<std::uint8_t>(code_of(static_cast<std::uint32_t>(c)));
    }
};
constexpr ByteCodes kBytes{};

template <class Ch>
void encode_wide(const Ch* text, std::int64_t n, std::uint8_t* out) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(code_of(text[i]));
}

}  // namespace

void encode(const std::uint8_t* text, std::int64_t n, std::uint8_t* out) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = kBytes.code[text[i]];
}
void encode(const std::uint16_t* text, std::int64_t n, std::uint8_t* out) { encode_wide(text, n, out); }
void encode(const std::uint32_t* text, std::int64_t n, std::uint8_t* out) { encode_wide(text, n, out); }

struct Motif {
    std::int64_t L = 0;
    double threshold = 0.0;
    // fwd[m*4 + c] = P[c, m]; rev[m*4 + c] = P[c ^ 1, m], read at the forward
    // code of window offset L-1-m.
    std::vector<double> fwd, rev;
};

Scanner::Scanner(const std::vector<Grid2>& matrices, const std::vector<double>& thresholds, Strands strands)
    : strands_(strands) {
    motifs_.resize(matrices.size());
    for (std::size_t k = 0; k < matrices.size(); ++k) {
        const Grid2& P = matrices[k];
        Motif& mo = motifs_[k];
        mo.L = P.shape[1];
        mo.threshold = thresholds[k];
        mo.fwd.resize(static_cast<std::size_t>(mo.L * 4));
        mo.rev.resize(static_cast<std::size_t>(mo.L * 4));
        for (std::int64_t m = 0; m < mo.L; ++m)
            for (int c = 0; c < 4; ++c) {
                mo.fwd[m * 4 + c] = P.load(c, m);
                mo.rev[m * 4 + c] = P.load(c ^ 1, m);
            }
        widths_.push_back(mo.L);
        widest_ = std::max(widest_, mo.L);
    }
}

Scanner::~Scanner() = default;

void Scanner::scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, std::vector<Hit>& hits,
                   std::int64_t* tested) const {
    // run[i]: number of consecutive base codes from i on, so the window at s
    // is N-free exactly when run[s] >= L.
    std::vector<std::int64_t> run(static_cast<std::size_t>(n + 1), 0);
    for (std::int64_t i = n - 1; i >= 0; --i) run[i] = codes[i] > 3 ? 0 : run[i + 1] + 1;
    const std::int64_t end = std::min(limit, n);
    const std::int32_t K = static_cast<std::int32_t>(motifs_.size());
    for (std::int64_t s = 0; s < end; ++s) {
        for (std::int32_t k = 0; k < K; ++k) {
            const Motif& mo = motifs_[k];
            const std::int64_t L = mo.L;
            if (run[s] < L) continue;
            ++tested[k];
            const std::uint8_t* w = codes + s;
            if (strands_ & kForward) {
                double sum = 0.0;
                for (std::int64_t m = 0; m < L; ++m) sum += mo.fwd[m * 4 + w[m]];
                if (sum >= mo.threshold) hits.push_back({s, k, 1, sum});
            }
            if (strands_ & kReverse) {
                double sum = 0.0;
                for (std::int64_t m = 0; m < L; ++m) sum += mo.rev[m * 4 + w[L - 1 - m]];
                if (sum >= mo.threshold) hits.push_back({s, k, -1, sum});
            }
        }
    }
}

}  // namespace morvane::kernels::scan
