// Lattice recursions behind exact PWM p-values; see lattice.hpp.
#include "kernels/lattice.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <tuple>
#include <utility>

namespace morvane::kernels::lattice {
namespace {

// NumPy's pairwise summation of a contiguous run, step for step, so a bound
// summed here is the double NumPy's sum gave before this loop ran natively.
double pairwise(const double* a, std::int64_t n) {
    if (n < 8) {
        double s = -0.0;
        for (std::int64_t i = 0; i < n; ++i) s += a[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::int64_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += a[i];
        return s;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise(a, half) + pairwise(a + half, n - half);
}

// What a NumPy sum of a float64 run gives: its identity, 0.0, plus the run pairwise.
double numpy_sum(const double* a, std::int64_t n) { return 0.0 + pairwise(a, n); }

// Cells of a column: resizing leaves new ones unset (every cell is written before it is
// read), so a column costs no clearing pass.
template <class T>
struct Unset : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Unset<U>;
    };
    Unset() = default;
    template <class U>
    Unset(const Unset<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using Cells = std::vector<double, Unset<double>>;
// Scratch a thread keeps between calls, per buffer (some 2.5 MB: a fine lattice's cells and their
// padding for most motifs): more is given back.
constexpr std::size_t kKeptCells = (std::size_t{1} << 18) + (std::size_t{1} << 16);

// out[j] = a[j] * w[0] + b[j] * w[1] + c[j] * w[2] + d[j] * w[3], added in that order: the cells
// one column gives the next, from its four shifted copies. The terms are never negative, so
// starting from the first term gives the sums that starting from 0.0 does. Separate pointers
// that never overlap, so the loop runs on vectors.
void mix(const double* __restrict a, const double* __restrict b, const double* __restrict c, const double* __restrict d,
         const double* w, double* __restrict out, std::int64_t n) {
    const double w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
    for (std::int64_t j = 0; j < n; ++j) out[j] = a[j] * w0 + b[j] * w1 + c[j] * w2 + d[j] * w3;
}

void add_cells(const double* __restrict a, const double* __restrict b, const double* __restrict c,
               const double* __restrict d, double* __restrict out, std::int64_t n) {
    for (std::int64_t j = 0; j < n; ++j) out[j] = a[j] + b[j] + c[j] + d[j];
}

}  // namespace

Band bracket(const std::int64_t* q, std::int64_t L, const double* bg, const std::int64_t* reach, std::int64_t lo,
             std::int64_t hi, const Poll& poll, bool count_words, const double* tilt) {
    count_words = count_words || tilt != nullptr;
    Band out;
    std::int64_t pad = 0;  // zeros on both sides of a column's cells, so every base reads a cell
    for (std::int64_t k = 0; k < 4 * L; ++k) pad = std::max(pad, q[k]);
    // Cell i of the current column lives at [pad + i]; adding a padding zero leaves a
    // non-negative sum as it was, so the sums are those of adding only the bases that land.
    // Both buffers always hold n + 2 * pad values. They are this thread's, kept from call to
    // call: fresh pages for every call cost more than the recursion itself.
    thread_local Cells scratch[4];
    auto& [prob, words, next_prob, next_words] = scratch;
    if (prob.capacity() > kKeptCells)  // left by a large call
        for (auto* v : {&prob, &words}) Cells().swap(*v);
    // room for the widest column at once: growing would copy every cell again
    const auto room = static_cast<std::size_t>(std::max<std::int64_t>(reach[0], 0) + 1 + 2 * pad);
    for (auto* v : {&prob, &words, &next_prob, &next_words}) v->reserve(room);
    prob.assign(static_cast<std::size_t>(2 * pad + 1), 0.0);
    words.assign(static_cast<std::size_t>(2 * pad + 1), 0.0);
    prob[pad] = words[pad] = 1.0;
    std::int64_t base = 0, n = 1;
    for (std::int64_t m = 0; m < L; ++m) {
        if (poll.stop()) throw Stopped{};  // a column is at most some millions of cells
        const std::int64_t* qm[4] = {q + m, q + L + m, q + 2 * L + m, q + 3 * L + m};
        std::int64_t top = 0;
        for (int c = 0; c < 4; ++c) top = std::max(top, *qm[c]);
        const std::int64_t width = n + top;
        out.cells += width;
        // the cells this column keeps, [keep_lo, keep_hi) relative to base; those past keep_hi are folded
        const std::int64_t keep_lo = std::max(base, lo - reach[m + 1]) - base;
        const std::int64_t keep_hi = std::max(std::min(base + width, hi), keep_lo + base) - base;
        if (keep_lo >= width) {  // nothing reaches lo any more
            prob.assign(static_cast<std::size_t>(2 * pad), 0.0);
            words.assign(static_cast<std::size_t>(2 * pad), 0.0);
            n = 0;
            base += keep_lo;
            continue;
        }
        // Only cells from keep_lo on are needed: probabilities for all of them, counts up to keep_hi.
        // Each cell is written once (no clearing pass: the column is bound by memory traffic).
        const std::int64_t n_prob = width - keep_lo, n_words = keep_hi - keep_lo;
        next_prob.resize(static_cast<std::size_t>(n_prob + 2 * pad));
        next_words.resize(count_words ? static_cast<std::size_t>(n_words + 2 * pad) : 0);
        const double* src[4];
        const double* wsrc[4] = {};
        for (int c = 0; c < 4; ++c) {  // cell j of the new column takes cell j - q[c] of this one
            src[c] = prob.data() + pad + keep_lo - *qm[c];
            if (count_words) wsrc[c] = words.data() + pad + keep_lo - *qm[c];
        }
        double* np = next_prob.data() + pad;
        mix(src[0], src[1], src[2], src[3], bg, np, n_prob);
        if (tilt) {
            const double w[4] = {tilt[m], tilt[L + m], tilt[2 * L + m], tilt[3 * L + m]};
            mix(wsrc[0], wsrc[1], wsrc[2], wsrc[3], w, next_words.data() + pad, n_words);
        } else if (count_words) {
            add_cells(wsrc[0], wsrc[1], wsrc[2], wsrc[3], next_words.data() + pad, n_words);
        }
        out.above += numpy_sum(np + n_words, n_prob - n_words);
        n = n_words;
        // the padding around the kept cells (the folded ones become padding)
        next_prob.resize(static_cast<std::size_t>(n + 2 * pad));
        std::fill(next_prob.begin(), next_prob.begin() + pad, 0.0);
        std::fill(next_prob.begin() + pad + n, next_prob.end(), 0.0);
        if (count_words) {
            std::fill(next_words.begin(), next_words.begin() + pad, 0.0);
            std::fill(next_words.begin() + pad + n, next_words.end(), 0.0);
        }
        prob.swap(next_prob);
        words.swap(next_words);
        base += keep_lo;
    }
    out.base = base;
    out.n = n;
    out.prob = prob.data() + pad;
    out.words = count_words ? words.data() + pad : nullptr;
    // the caller copies the cells out before this thread's next call, which gives back large scratch
    if (next_prob.capacity() > kKeptCells)
        for (auto* v : {&next_prob, &next_words}) Cells().swap(*v);
    return out;
}

namespace {

// Every word with lo <= I < hi, depth first with bases in code order, so the words reach
// sink(score, prob, sum) in lexicographic order of their codes; each prefix's score and
// probability are worked out once. See list_words for the limits.
template <class Sink>
bool visit_words(const std::int64_t* q, const double* matrix, std::int64_t L, const double* bg,
                 const std::int64_t* reach, std::int64_t lo, std::int64_t hi, std::int64_t level_limit,
                 std::int64_t& work, std::int64_t work_limit, const Poll& poll, Sink&& sink) {
    const auto depth = static_cast<std::size_t>(L) + 1;
    std::vector<std::int64_t> sum(depth, 0), kept(depth, 0);
    std::vector<double> score(depth, 0.0), prob(depth, 1.0);
    std::vector<int> code(depth, -1);
    const std::int64_t budget = work_limit - work;
    std::int64_t total = 0;
    std::int64_t m = 0;
    // the last column's four bases, for the loop over the words of a prefix
    const std::int64_t last = L - 1;
    const std::int64_t q_last[4] = {q[last], q[L + last], q[2 * L + last], q[3 * L + last]};
    const double m_last[4] = {matrix[last], matrix[L + last], matrix[2 * L + last], matrix[3 * L + last]};
    // prefixes gone through between two polls: some milliseconds of listing
    constexpr std::uint32_t kPollEvery = 1u << 20;
    std::uint32_t until_poll = kPollEvery;
    while (m >= 0) {
        if (--until_poll == 0) {
            until_poll = kPollEvery;
            if (poll.stop()) throw Stopped{};
        }
        if (m == last) {  // the words themselves, in code order
            for (int c = 0; c < 4; ++c) {
                const std::int64_t s = sum[m] + q_last[c];
                if (s < lo || s >= hi) continue;
                if (++kept[m] > level_limit || ++total > budget) {
                    work += total;
                    return false;
                }
                sink(score[m] + m_last[c], prob[m] * bg[c], s);
            }
            --m;
            continue;
        }
        const int c = ++code[m];
        if (c == 4) {
            --m;
            continue;
        }
        const std::int64_t s = sum[m] + q[c * L + m];
        if (s < lo - reach[m + 1] || s >= hi) continue;
        if (++kept[m] > level_limit || ++total > budget) {
            work += total;
            return false;
        }
        const double d = score[m] + matrix[c * L + m], p = prob[m] * bg[c];
        ++m;
        sum[m] = s;
        score[m] = d;
        prob[m] = p;
        code[m] = -1;
    }
    work += total;
    return true;
}

}  // namespace

bool list_words(const std::int64_t* q, const double* matrix, std::int64_t L, const double* bg,
                const std::int64_t* reach, std::int64_t lo, std::int64_t hi, std::int64_t level_limit,
                std::int64_t& work, std::int64_t work_limit, Words& out, const Poll& poll) {
    return visit_words(q, matrix, L, bg, reach, lo, hi, level_limit, work, work_limit, poll,
                       [&](double d, double p, std::int64_t s) {
                           out.score.push_back(d);
                           out.prob.push_back(p);
                           if (out.keep_sums) out.sum.push_back(s);
                       });
}

namespace {

// The number of the n ascending scores x at or below a score. A uniform grid over
// [x[0], x[n-1]] gives a first guess, which two short walks make exact whatever the
// rounding of the guess.
class Ranks {
public:
    Ranks(const double* x, std::int64_t n) : x_(x), n_(n), cells_(4 * n) {
        if (n == 0) return;
        const double span = x[n - 1] - x[0];
        scale_ = span > 0.0 ? static_cast<double>(cells_) / span : 0.0;
        guess_.resize(static_cast<std::size_t>(cells_) + 1);
        for (std::int64_t c = 0, k = 0; c <= cells_; ++c) {
            const double start = x[0] + static_cast<double>(c) / scale_;
            while (k < n && x[k] < start) ++k;
            guess_[c] = span > 0.0 ? k : 0;
        }
    }
    std::int64_t operator()(double d) const {
        if (n_ == 0 || d < x_[0]) return 0;
        if (d >= x_[n_ - 1]) return n_;
        const double at = (d - x_[0]) * scale_;
        std::int64_t k = guess_[at < static_cast<double>(cells_) ? static_cast<std::int64_t>(at) : cells_];
        while (k < n_ && x_[k] <= d) ++k;
        while (k > 0 && x_[k - 1] > d) --k;
        return k;
    }

private:
    const double* x_;
    std::int64_t n_, cells_;
    double scale_ = 0.0;
    std::vector<std::int64_t> guess_;
};

// A sum carried as an unevaluated pair hi + lo (error-free transformations; nothing here is
// contracted or reassociated), so that a tail is the correctly rounded sum of its words'
// probabilities in all but the rarest cases, whatever order they were added in.
struct Pair {
    double hi = 0.0, lo = 0.0;
    void add(double v) {
        const double s = hi + v, b = s - hi;
        lo += (hi - (s - b)) + (v - b);
        hi = s;
    }
    void add(const Pair& o) {
        add(o.hi);
        lo += o.lo;
    }
    double value() const { return hi + lo; }
};

}  // namespace

void tails_of_words(const std::int64_t* q, const double* matrix, std::int64_t L, const double* bg,
                    const std::int64_t* reach, std::int64_t lo, const double* x, std::int64_t n, double* tail,
                    const Poll& poll) {
    // the words reaching exactly k scores go to bucket k; tail[i] sums the buckets past i
    std::vector<Pair> bucket(static_cast<std::size_t>(n) + 1);
    const Ranks rank(x, n);
    constexpr std::int64_t none = std::numeric_limits<std::int64_t>::max();
    std::int64_t work = 0;
    visit_words(q, matrix, L, bg, reach, lo, none, none, work, none, poll,
                [&](double d, double p, std::int64_t) { bucket[static_cast<std::size_t>(rank(d))].add(p); });
    Pair run;
    for (std::int64_t k = n; k >= 1; --k) {
        run.add(bucket[static_cast<std::size_t>(k)]);
        tail[k - 1] = run.value();
    }
}

void best_first(const double* x, const double* p, std::int64_t n, double* sorted, double* cum) {
    // Keys whose unsigned order is the doubles' descending order, less the smallest key. A
    // stable LSD radix sort of (key, probability) pairs, a byte a pass, orders them by the top
    // 24 bits of the keys' range only; keys that share those bits (a few words, or runs of
    // near ties) are then put in order by a stable sort of their own. Moving the
    // probabilities along spares a gather.
    const auto size = static_cast<std::size_t>(n);
    std::vector<std::uint64_t> key(size), key2(size);
    std::vector<double> prob(p, p + n), prob2(size);
    std::uint64_t least = ~std::uint64_t{0}, most = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = x[i] + 0.0;  // -0.0 becomes 0.0: they are equal
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        u = (u >> 63) ? ~u : u | (std::uint64_t{1} << 63);  // ascending order of the doubles
        key[i] = ~u;
        least = std::min(least, key[i]);
        most = std::max(most, key[i]);
    }
    constexpr int kBits = 8, kTop = 24;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    const std::uint64_t range = n ? most - least : 0;
    int width = 0;  // bits of the range
    while (width < 64 && (range >> width) != 0) ++width;
    const int low = std::max(0, width - kTop);  // bits left to the sorts of equal tops
    const int passes = (width - low + kBits - 1) / kBits;
    // every pass's counts in one read of the keys
    std::vector<std::int64_t> count(static_cast<std::size_t>(passes) * kBuckets, 0);
    for (std::int64_t i = 0; i < n; ++i) {
        key[i] -= least;
        for (int d = 0; d < passes; ++d) ++count[d * kBuckets + ((key[i] >> (low + d * kBits)) & (kBuckets - 1))];
    }
    std::uint64_t* k1 = key.data();
    std::uint64_t* k2 = key2.data();
    double* p1 = prob.data();
    double* p2 = prob2.data();
    for (int d = 0; d < passes; ++d) {
        std::int64_t* c = count.data() + d * kBuckets;
        if (std::any_of(c, c + kBuckets, [n](std::int64_t v) { return v == n; })) continue;
        std::int64_t at = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::int64_t here = c[b];
            c[b] = at;
            at += here;
        }
        const int shift = low + d * kBits;
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t to = c[(k1[i] >> shift) & (kBuckets - 1)]++;
            k2[to] = k1[i];
            p2[to] = p1[i];
        }
        std::swap(k1, k2);
        std::swap(p1, p2);
    }
    if (low > 0) {
        // runs of equal tops, each stably sorted on the whole key
        std::vector<std::pair<std::uint64_t, double>> run;
        for (std::int64_t i = 0; i < n;) {
            std::int64_t j = i + 1;
            while (j < n && (k1[j] >> low) == (k1[i] >> low)) ++j;
            if (j - i > 1 && !std::is_sorted(k1 + i, k1 + j)) {
                run.clear();
                for (std::int64_t k = i; k < j; ++k) run.emplace_back(k1[k], p1[k]);
                std::stable_sort(run.begin(), run.end(),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
                for (std::int64_t k = i; k < j; ++k) std::tie(k1[k], p1[k]) = run[static_cast<std::size_t>(k - i)];
            }
            i = j;
        }
    }
    // the running sums carried in double-double: each is the correctly rounded sum of the
    // probabilities before it, as the tails of a listing give it
    Pair run;
    for (std::int64_t k = 0; k < n; ++k) {
        std::uint64_t u = ~(k1[k] + least);
        u = (u >> 63) ? u & ~(std::uint64_t{1} << 63) : ~u;
        std::memcpy(&sorted[k], &u, sizeof u);
        run.add(p1[k]);
        cum[k] = run.value();
    }
}

}  // namespace morvane::kernels::lattice
