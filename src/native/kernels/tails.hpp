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
    // upper[k] bounds the tail of every score whose fine sum is fine_b + k (the last: every one past)
    const double* upper = nullptr;
    std::int64_t n_upper = 0, fine_b = 0;
    Steps fine;
};

// p[i] = the p-value of score s[i], P(a random window's score >= s[i] - tau(s[i])), from the
// table, for i < n; NaN where the table does not serve s[i] (or s[i] is NaN). The searches among
// the listed words go several at a time, in step: each waits on memory, not on the one before.
// p may be s: each p-value then takes its score's place.
void read_off(const Table& t, const double* s, std::int64_t n, double* p);

}  // namespace morvane::kernels::tails
