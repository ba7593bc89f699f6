// The fused scanner against the plain ordered sum of every window, on every
// instruction-set level the machine offers: the same hits, scores bit for bit,
// the same counts of tested windows, whatever level filtered the windows.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "kernels/cpu.hpp"
#include "kernels/scan.hpp"

using namespace morvane::kernels;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

struct Matrix {
    std::int64_t L;
    std::vector<double> v;  // [row * L + m], 4 rows
    Grid2 grid() {
        Grid2 g;
        g.base = reinterpret_cast<char*>(v.data());
        g.shape[0] = 4;
        g.shape[1] = L;
        g.strides[0] = L * 8;
        g.strides[1] = 8;
        return g;
    }
};

// The ordered sum of one window on one strand, or NaN when it holds an N.
double window_score(const Matrix& P, const std::vector<std::uint8_t>& codes, std::int64_t s, int sign) {
    double sum = 0.0;
    for (std::int64_t m = 0; m < P.L; ++m) {
        const std::uint8_t c = sign > 0 ? codes[s + m] : codes[s + P.L - 1 - m];
        if (c > 3) return std::numeric_limits<double>::quiet_NaN();
        sum += P.v[(sign > 0 ? c : c ^ 1) * P.L + m];
    }
    return sum;
}

std::vector<scan::Hit> reference(std::vector<Matrix>& mats, const std::vector<double>& thr,
                                 const std::vector<std::uint8_t>& codes, std::int64_t limit, scan::Strands strands,
                                 std::vector<std::int64_t>& tested) {
    std::vector<scan::Hit> hits;
    const std::int64_t n = static_cast<std::int64_t>(codes.size());
    tested.assign(mats.size(), 0);
    for (std::int64_t s = 0; s < limit; ++s)
        for (std::size_t k = 0; k < mats.size(); ++k) {
            if (s + mats[k].L > n) continue;
            for (int sign : {1, -1}) {
                if (!(strands & (sign > 0 ? scan::kForward : scan::kReverse))) continue;
                const double v = window_score(mats[k], codes, s, sign);
                if (!std::isnan(v)) ++tested[k];
                if (v >= thr[k]) hits.push_back({s, static_cast<std::int32_t>(k), static_cast<std::int8_t>(sign), v});
            }
        }
    return hits;
}

bool same(const std::vector<scan::Hit>& a, const std::vector<scan::Hit>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].motif != b[i].motif || a[i].strand != b[i].strand ||
            std::memcmp(&a[i].score, &b[i].score, sizeof(double)) != 0)
            return false;
    return true;
}

// The hits of a scan read back from its records, each field where the layout
// puts it and the start less offset; windows is false unless every record
// spells its window on its strand, NUL after its width. With reused, the
// records start in a buffer full of other bytes, too small for them all.
std::vector<scan::Hit> scanned(const scan::Scanner& scanner, const std::vector<std::uint8_t>& codes, std::int64_t limit,
                               std::int64_t offset, std::vector<std::int64_t>& tested, bool& windows,
                               bool reused = false) {
    const std::int64_t n = static_cast<std::int64_t>(codes.size());
    scan::Buffer start;
    if (reused) {
        start.bytes = start.written = 3 * scanner.record_size() + 5;
        start.data = static_cast<char*>(std::malloc(static_cast<std::size_t>(start.bytes)));
        std::memset(start.data, 'x', static_cast<std::size_t>(start.bytes));
    }
    scan::Records records(scanner.widths(), offset, start);
    tested.assign(static_cast<std::size_t>(scanner.count()), 0);
    scanner.scan(codes.data(), n, limit, records, tested.data());
    const std::int64_t size = records.record_size(), count = records.count();
    windows = size == scanner.record_size();
    char* data = records.release().data;
    std::vector<scan::Hit> hits;
    for (std::int64_t i = 0; i < count; ++i) {
        const char* r = data + i * size;
        scan::Hit h;
        std::memcpy(&h.motif, r + scan::record::kMotif, 4);
        std::memcpy(&h.start, r + scan::record::kStart, 8);
        std::memcpy(&h.strand, r + scan::record::kStrand, 1);
        std::memcpy(&h.score, r + scan::record::kScore, 8);
        h.start -= offset;
        hits.push_back(h);
        if (h.motif < 0 || h.motif >= scanner.count() || h.start < 0) {
            windows = false;
            continue;
        }
        const std::int64_t L = scanner.widths()[static_cast<std::size_t>(h.motif)];
        for (std::int64_t m = scan::record::kWindow; m < size; ++m) {
            const std::int64_t j = m - scan::record::kWindow;
            const char want =
                j >= L ? '\0' : "ATCG"[h.strand > 0 ? codes[h.start + j] : codes[h.start + L - 1 - j] ^ 1];
            windows = windows && r[m] == want;
        }
    }
    std::free(data);
    return hits;
}

// Random motifs of widths 1..40, thresholds from each motif's own window
// scores (so some windows sit exactly on them), N runs, a limit anywhere.
void test_random(std::mt19937_64& g, int round) {
    std::uniform_int_distribution<int> base(0, 3);
    const std::int64_t n = 1 + static_cast<std::int64_t>(g() % 30000);
    std::vector<std::uint8_t> codes(static_cast<std::size_t>(n));
    for (auto& c : codes) c = static_cast<std::uint8_t>(base(g));
    for (int r = 0; r < static_cast<int>(g() % 8); ++r) {
        const std::int64_t a = static_cast<std::int64_t>(g() % n), len = 1 + static_cast<std::int64_t>(g() % 50);
        for (std::int64_t i = a; i < std::min(n, a + len); ++i) codes[i] = (g() & 1) ? 4 : 200;
    }
    const int K = 1 + static_cast<int>(g() % 6);
    std::vector<Matrix> mats;
    std::vector<double> thr;
    const double scales[] = {1e-3, 1.0, 3.0, 1e6};
    for (int k = 0; k < K; ++k) {
        Matrix P;
        P.L = 1 + static_cast<std::int64_t>(g() % 40);
        std::normal_distribution<double> nd(0.0, scales[g() % 4]);
        for (std::int64_t i = 0; i < 4 * P.L; ++i) P.v.push_back(nd(g));
        if (round % 7 == 0) P.v[g() % P.v.size()] = -kInf;  // a log of a zero count
        mats.push_back(P);
        // a window's own score, a high quantile of a few, or every window
        const int how = static_cast<int>(g() % 4);
        double t = -kInf;
        if (how < 3 && n >= P.L) {
            std::vector<double> sample;
            for (int i = 0; i < 200; ++i) {
                const double v = window_score(P, codes, static_cast<std::int64_t>(g() % (n - P.L + 1)), 1);
                if (!std::isnan(v)) sample.push_back(v);
            }
            std::sort(sample.begin(), sample.end());
            if (!sample.empty()) t = how == 0 ? sample[g() % sample.size()] : sample[sample.size() * 99 / 100];
        }
        thr.push_back(t);
    }
    const std::int64_t limit = (g() & 1) ? n : static_cast<std::int64_t>(g() % (n + 1));
    const scan::Strands strands = static_cast<scan::Strands>(1 + g() % 3);
    std::vector<std::int64_t> want_tested;
    const auto want = reference(mats, thr, codes, limit, strands, want_tested);

    std::vector<Grid2> grids;
    for (auto& P : mats) grids.push_back(P.grid());
    scan::Scanner scanner(grids, thr, strands);
    std::vector<std::int64_t> tested;
    bool windows = false;
    const auto got =
        scanned(scanner, codes, limit, round % 3 == 0 ? 0 : 1000003 * round, tested, windows, round % 2 == 1);
    CHECK_MSG(same(got, want), "round %d: %zu hits, want %zu", round, got.size(), want.size());
    CHECK_MSG(tested == want_tested, "round %d: tested counts", round);
    CHECK_MSG(windows, "round %d: records", round);
}

// Motifs whose best window is planted at the edges of the filter's batches
// (64 windows) and blocks (8192), beside N runs and at the end, with the
// threshold exactly on that window's score or one step above it. The
// matrices mix sharp and nearly flat columns, and one column so costly that
// its group's bytes saturate.
void test_edges(std::mt19937_64& g) {
    std::uniform_int_distribution<int> base(0, 3);
    for (const std::int64_t n : {std::int64_t{130}, std::int64_t{8192 + 40}, std::int64_t{2 * 8192 + 63}}) {
        for (const std::int64_t L : {1, 2, 3, 7, 17, 40}) {
            Matrix P{L, {}};
            std::normal_distribution<double> sharp(0.0, 3.0), flat(0.0, 0.05);
            for (std::int64_t i = 0; i < 4 * L; ++i) P.v.push_back((i % L) % 3 == 1 ? flat(g) : sharp(g));
            std::vector<std::uint8_t> best(static_cast<std::size_t>(L));
            for (std::int64_t m = 0; m < L; ++m) {
                int top = 0;
                for (int c = 1; c < 4; ++c)
                    if (P.v[c * L + m] > P.v[top * L + m]) top = c;
                best[m] = static_cast<std::uint8_t>(top);
                if (m == L / 2) P.v[((top + 1) % 4) * L + m] = -1e4;  // the saturating column
            }
            std::vector<std::uint8_t> codes(static_cast<std::size_t>(n));
            for (auto& c : codes) c = static_cast<std::uint8_t>(base(g));
            for (const std::int64_t at : {std::int64_t{0}, std::int64_t{63}, std::int64_t{64}, std::int64_t{8191},
                                          std::int64_t{8192}, n - L, n - L - 65}) {
                if (at < 0 || at + L > n) continue;
                std::copy(best.begin(), best.end(), codes.begin() + at);
                if (at >= 3) codes[at - 1] = codes[at - 3] = 4;  // N just before
                if (at + L + 1 < n) codes[at + L + 1] = 200;     // and one past a base
            }
            const double top = window_score(P, codes, n - L, 1);
            for (const double t : {top, std::nextafter(top, kInf), std::nextafter(top, -kInf)}) {
                std::vector<Matrix> mats{P};
                std::vector<double> thr{t};
                std::vector<std::int64_t> want_tested;
                const auto want = reference(mats, thr, codes, n, scan::kBoth, want_tested);
                std::vector<Grid2> grids{mats[0].grid()};
                scan::Scanner scanner(grids, thr, scan::kBoth);
                std::vector<std::int64_t> tested;
                bool windows = false;
                const auto got = scanned(scanner, codes, n, -n, tested, windows, L % 2 == 1);
                CHECK_MSG(same(got, want) && !want.empty() == (t <= top), "edges n %lld L %lld: %zu hits, want %zu",
                          static_cast<long long>(n), static_cast<long long>(L), got.size(), want.size());
                CHECK_MSG(tested == want_tested, "edges n %lld L %lld: tested counts", static_cast<long long>(n),
                          static_cast<long long>(L));
                CHECK_MSG(windows, "edges n %lld L %lld: records", static_cast<long long>(n),
                          static_cast<long long>(L));
            }
        }
    }
}

// A query's windows, each scored on its own: the first of them in the order
// "higher score, then lower start, then forward", NaN below every number.
scan::Scanner::Best best_reference(const Matrix& P, const std::vector<std::uint8_t>& codes, std::int64_t first,
                                   std::int64_t count) {
    struct Seen {
        double score;
        std::int64_t start;
        std::int8_t strand;
    };
    std::vector<Seen> seen;
    for (std::int64_t s = first; s < first + count; ++s) {
        if (std::any_of(codes.begin() + s, codes.begin() + s + P.L, [](std::uint8_t c) { return c > 3; })) continue;
        for (int sign : {1, -1}) seen.push_back({window_score(P, codes, s, sign), s, static_cast<std::int8_t>(sign)});
    }
    const auto before = [](const Seen& a, const Seen& b) {
        if (std::isnan(a.score) || std::isnan(b.score)) {
            if (std::isnan(a.score) != std::isnan(b.score)) return std::isnan(b.score);
        } else if (a.score != b.score) {
            return a.score > b.score;
        }
        return a.start != b.start ? a.start < b.start : a.strand > b.strand;
    };
    const auto top = std::min_element(seen.begin(), seen.end(), before);
    const std::int64_t windows = static_cast<std::int64_t>(seen.size());
    if (top == seen.end()) return {std::numeric_limits<double>::quiet_NaN(), -1, 0, 0};
    return {top->score, top->start, top->strand, windows};
}

// Scanner::best on random queries of random matrices. Small whole-number
// and reverse-complement-symmetric matrices make ties between windows and
// between the strands of one window common; -inf, +inf and NaN entries give
// windows that score infinite or NaN. The codes end where the last query's
// windows do, so a read past them is a sanitizer's error; queries of no
// window start anywhere, past the end too. Thresholds and strands of the
// scanner do not matter to best.
void test_best(std::mt19937_64& g) {
    const double whole[] = {-1.0, -0.0, 0.0, 1.0};  // -0.0: a sum that must start from +0.0
    const double specials[] = {-kInf, kInf, std::numeric_limits<double>::quiet_NaN()};
    for (int round = 0; round < 400; ++round) {
        const int K = 1 + static_cast<int>(g() % 3);
        std::vector<Matrix> mats;
        for (int k = 0; k < K; ++k) {
            Matrix P{1 + static_cast<std::int64_t>(g() % 30), {}};
            const int kind = static_cast<int>(g() % 4);
            std::normal_distribution<double> nd(0.0, 2.0);
            for (std::int64_t i = 0; i < 4 * P.L; ++i) P.v.push_back(kind == 0 ? nd(g) : whole[g() % 4]);
            if (kind == 1)  // row c of column m is row c ^ 1 of column L - 1 - m
                for (std::int64_t m = 0; m < P.L; ++m)
                    for (int c = 0; c < 4; ++c) P.v[c * P.L + m] = P.v[(c ^ 1) * P.L + P.L - 1 - m];
            if (kind == 3)
                for (int i = 0; i < 1 + static_cast<int>(g() % 3); ++i) P.v[g() % P.v.size()] = specials[g() % 3];
            mats.push_back(P);
        }
        std::vector<Grid2> grids;
        for (auto& P : mats) grids.push_back(P.grid());
        const double t = round % 3 == 0 ? kInf : round % 3 == 1 ? -kInf : 0.0;
        scan::Scanner scanner(grids, std::vector<double>(mats.size(), t), static_cast<scan::Strands>(1 + round % 3));

        const std::int64_t n = 1 + static_cast<std::int64_t>(g() % 200);
        std::vector<std::uint8_t> codes(static_cast<std::size_t>(n));
        for (auto& c : codes) c = static_cast<std::uint8_t>(g() % 4);
        const int runs = round % 10 == 0 ? -1 : static_cast<int>(g() % 4);  // -1: every code N
        for (int r = 0; r < runs; ++r) {
            const std::int64_t a = static_cast<std::int64_t>(g() % n), len = 1 + static_cast<std::int64_t>(g() % 8);
            for (std::int64_t i = a; i < std::min(n, a + len); ++i) codes[i] = (g() & 1) ? 4 : 255;
        }
        if (runs < 0) std::fill(codes.begin(), codes.end(), 4);
        for (int q = 0; q < 12; ++q) {
            const std::int32_t k = static_cast<std::int32_t>(g() % mats.size());
            const std::int64_t L = mats[k].L, room = n - L + 1;  // window starts that fit
            std::int64_t first = 0, count = 0;
            if (q == 0 || room <= 0) {
                first = static_cast<std::int64_t>(g() % (n + L + 1));  // no window
            } else {
                count = q == 1 ? room : 1 + static_cast<std::int64_t>(g() % room);
                first = q == 2 ? room - count : static_cast<std::int64_t>(g() % (room - count + 1));
            }
            // the codes the query may read, and nothing past them
            const std::int64_t end = count > 0 ? first + count + L - 1 : n;
            const std::vector<std::uint8_t> held(codes.begin(), codes.begin() + end);
            const scan::Scanner::Best want = best_reference(mats[k], held, first, count);
            const scan::Scanner::Best got = scanner.best(held.data(), first, count, k);
            const bool score = std::isnan(want.score) ? std::isnan(got.score)
                                                      : std::memcmp(&got.score, &want.score, sizeof(double)) == 0;
            CHECK_MSG(score && got.start == want.start && got.strand == want.strand && got.windows == want.windows,
                      "best round %d L %lld first %lld count %lld: (%.17g, %lld, %d, %lld), want (%.17g, %lld, %d, "
                      "%lld)",
                      round, static_cast<long long>(L), static_cast<long long>(first), static_cast<long long>(count),
                      got.score, static_cast<long long>(got.start), got.strand, static_cast<long long>(got.windows),
                      want.score, static_cast<long long>(want.start), want.strand,
                      static_cast<long long>(want.windows));
        }
    }
}

}  // namespace

int main() {
    const cpu::Level widest = cpu::widest();
    for (int lv = 0; lv <= static_cast<int>(widest); ++lv) {
        const cpu::Level got = cpu::limit(static_cast<cpu::Level>(lv));
        const int before = failures;
        std::mt19937_64 g(20240611);
        for (int round = 0; round < 150; ++round) test_random(g, round);
        test_edges(g);
        std::printf("scan level %-6s %s\n", cpu::name(got), failures == before ? "ok" : "FAILED");
    }
    cpu::limit(widest);
    {  // best scores one window at a time, at no instruction-set level of its own
        const int before = failures;
        std::mt19937_64 g(20261209);
        test_best(g);
        std::printf("best %s\n", failures == before ? "ok" : "FAILED");
    }
    std::printf("%d checks, %d failures\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
