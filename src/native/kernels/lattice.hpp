// Integer lattices of PWM word sums, for exact p-values: plain C++, no Python
// objects.
//
// Column scores are floored onto a grid, each column's worst base at 0, so a
// word's lattice sum I is the sum of one integer per column. q holds those
// integers, 4 rows (codes A, T, C, G) by L columns, row-major; reach[m] is the
// largest sum columns m..L-1 can add (reach[L] = 0).
#pragma once

#include <cstdint>
#include <vector>

namespace morvane::kernels::lattice {

// Asked between bounded pieces of work whether to stop (a caller's interrupt): a plain function
// and its context, so the kernels know nothing of who asks. When it says yes, the kernel throws
// Stopped, leaving its outputs unspecified.
struct Poll {
    bool (*fn)(void*) = nullptr;
    void* ctx = nullptr;
    bool stop() const { return fn != nullptr && fn(ctx); }
};
struct Stopped {};

// The kept part of the distribution of I over all 4**L words: prob[k] is the
// probability, words[k] the number of words (or their tilted weight, see
// bracket), of I = base + k.
// prob and words point into scratch of the calling thread, valid until its
// next call.
struct Band {
    std::int64_t base = 0, n = 0;
    const double* prob = nullptr;
    const double* words = nullptr;
    double above = 0.0;      // probability of the words folded in, all with I >= hi
    std::int64_t cells = 0;  // cells of every column before pruning, the work done
};

// The distribution of I column by column, bases weighted by bg, keeping only
// sums in [lo, hi): a prefix that cannot reach lo whatever follows is dropped,
// one already at hi is folded into `above`. Bases are added in code order into
// each cell, and `above` sums each column's folded cells pairwise as NumPy
// does, so the results are the doubles the same recursion in NumPy gives.
// Without count_words, words stays null: the counts cost as much as the
// probabilities. With tilt (4 by L row-major, as q), words holds instead the
// sums over words of the products of tilt[base][column], in the same order.
Band bracket(const std::int64_t* q, std::int64_t L, const double* bg, const std::int64_t* reach, std::int64_t lo,
             std::int64_t hi, const Poll& poll = {}, bool count_words = true, const double* tilt = nullptr);

// Every word with lo <= I < hi: its score (the columns of matrix, 4 by L
// row-major, added in column order from 0.0), its probability (bg multiplied
// in column order from 1.0) and its I, in lexicographic order of its codes.
// Gives up (returns false) as soon as a column keeps more than level_limit
// prefixes or the prefixes kept, added to work, pass work_limit; work counts
// the prefixes kept (those gone through, when it gives up).
// With keep_sums false, out.sum stays empty.
struct Words {
    std::vector<double> score, prob;
    std::vector<std::int64_t> sum;
    bool keep_sums = true;
};
bool list_words(const std::int64_t* q, const double* matrix, std::int64_t L, const double* bg,
                const std::int64_t* reach, std::int64_t lo, std::int64_t hi, std::int64_t level_limit,
                std::int64_t& work, std::int64_t work_limit, Words& out, const Poll& poll = {});

// tail[i] (i < n) = the probability of the words with I >= lo that score at
// or above x[i], for n ascending scores x: the sum of their probabilities,
// carried in double-double so that it is the correctly rounded one in all but
// the rarest cases, whatever the other scores asked for. The words are
// visited as list_words visits them, without limits.
void tails_of_words(const std::int64_t* q, const double* matrix, std::int64_t L, const double* bg,
                    const std::int64_t* reach, std::int64_t lo, const double* x, std::int64_t n, double* tail,
                    const Poll& poll = {});

// The n words (score x[i], probability p[i]) best first, equal scores (0.0 and
// -0.0 alike) in their given order: sorted[k] is the k-th score, cum[k] the
// running sum of the probabilities up to it, added in that order from 0.0.
// x holds no NaN.
void best_first(const double* x, const double* p, std::int64_t n, double* sorted, double* cum);

}  // namespace morvane::kernels::lattice
