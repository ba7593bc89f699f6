// P-values read off the tables a PWM null keeps: a search among listed words,
// or one lookup in a lattice's bound. Plain C++, no Python objects; the very
// doubles the same steps give in NumPy.
#pragma once

#include <cstdint>

namespace morvane::kernels::tails {

// A lattice's steps: the smallest integer sum a word scoring at or above a score x can have is
// floor((x - tau(x) - lo - r_max) / eps) - 1.
struct Steps {
    double lo = 0.0, r_max = 0.0, eps = 1.0;
};

// What one null keeps, and how its scores are lowered: tau(s) = tau_factor * (abs + |s|).
// Either kind of table may be missing (null); scores it would serve are then not served.
struct Table {
    double tau_factor = 0.0, abs = 0.0, min_score = 0.0, max_score = 0.0;
    double listed_from = 0.0;  // scores from here up are read off the listed words
    // every word with coarse sum >= words_b, scores negated best first (ascending), and the
    // running sums of their probabilities from 0 (n_listed + 1 of them)
    const double* neg_d = nullptr;
    const double* cum = nullptr;
    std::int64_t n_listed = 0, words_b = 0;
    Steps coarse;
    // The fine lattice, from sum fine_b on: the tails of every sum from fine_b + k on (n_fine + 1
    // of them; sum fine_b + k has the probability of their difference), ratio[k], at least the
    // tilted weight of that sum (its words' probabilities times exp(theta * (R - r_max)), R their
    // residuals) over its probability, and rise[m] = exp(theta * m * eps / kSubsteps) for
    // m < n_rise (see fine_bound).
    const double *tails = nullptr, *rise = nullptr;
    const float* ratio = nullptr;
    std::int64_t n_fine = 0, n_rise = 0, fine_b = 0;
    Steps fine;
};

// Substeps of a fine step in which the bound places each score, and the relative rise of the
// bound that covers the rounding of the sums behind it.
constexpr std::int64_t kSubsteps = 64;
constexpr double kRounding = 1e-12;

// The fine lattice's bound at a lowered score x (x - tau(x) >= the residual every word needs
// beyond its sum), at least the probability of the words reaching x: each sum's words are counted
// whole where all may reach (and up to the sum fine_b + n_fine), not at all where none can, and in
// between by the lesser of their probability and the Chernoff bound exp(-theta * t) E[exp(theta
// * R)] of their residuals R reaching the t they need, t placed in a substep below it. Monotone
// in x. NaN where the table begins above the sums x needs (past sum 0, below which no word lies).
double fine_bound(const Table& t, double x);

// The fine bound's table from a recursion's sums base + k (k < m, probabilities prob and tilted
// weights tilt), for the n sums from b = base - pad on: tails[i] (i <= n), the probability of
// every sum from b + i on, summed from the top down (as NumPy's cumsum of the reversed
// probabilities), and ratio[i] (i < n), tilt over prob rounded up to single precision, or 1 where
// the tilted weight is below 2^-1000 (it may have lost digits), the sum holds no word or the
// ratio is 1 or more.
// Needs pad >= 0 and n <= pad + m.
void fine_table(const double* prob, const double* tilt, std::int64_t m, std::int64_t pad, std::int64_t n, double* tails,
                float* ratio);

// p[i] = the p-value of score s[i], P(a random window's score >= s[i] - tau(s[i])), from the
// table, for i < n; NaN where the table does not serve s[i] (or s[i] is NaN). The searches among
// the listed words go several at a time, in step: each waits on memory, not on the one before.
// p may be s: each p-value then takes its score's place.
void read_off(const Table& t, const double* s, std::int64_t n, double* p);

}  // namespace morvane::kernels::tails
