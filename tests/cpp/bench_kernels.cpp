// Micro-benchmark of the scoring and coding kernels against, in the same run,
// the plain loops they replace and the floor each is measured by: an
// int64 -> float64 conversion pass for PWM scoring, the bare pow/log2 calls for
// DWM scoring. Prints best-of-N times and their ratios.
//
// Arguments pick sections (pwm, dwm, coding) and levels (base, avx2, avx512);
// none means all of them. Levels the machine lacks are skipped.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernels/cpu.hpp"
#include "kernels/kernels.hpp"
#include "kernels/pow2.hpp"
#include "reference.hpp"

using namespace morvane::kernels;

namespace {

volatile double sink;

template <class F>
double best_of(int reps, F f) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

// Best times of f and g, their runs taking turns so that both meet the same
// load on a busy machine.
template <class F, class G>
std::pair<double, double> race(int reps, F f, G g) {
    std::pair<double, double> best{1e30, 1e30};
    for (int r = 0; r < reps; ++r) {
        best.first = std::min(best.first, best_of(1, f));
        best.second = std::min(best.second, best_of(1, g));
    }
    return best;
}

Strided<std::int64_t> view(std::vector<std::int64_t>& v) {
    return {reinterpret_cast<char*>(v.data()), static_cast<std::int64_t>(v.size()), 8};
}
Grid2 grid(std::vector<double>& v, std::int64_t L) {
    Grid2 g;
    g.base = reinterpret_cast<char*>(v.data());
    g.shape[0] = 5, g.shape[1] = L;
    g.strides[0] = 8 * L, g.strides[1] = 8;
    return g;
}
Grid4 grid4(std::vector<double>& v, std::int64_t L) {
    Grid4 g;
    g.base = reinterpret_cast<char*>(v.data());
    g.shape[0] = g.shape[1] = 5, g.shape[2] = g.shape[3] = L;
    g.strides[3] = 8, g.strides[2] = 8 * L, g.strides[1] = 8 * L * L, g.strides[0] = 40 * L * L;
    return g;
}

__attribute__((noinline)) void convert(const std::int64_t* s, double* o, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) o[i] = static_cast<double>(s[i]);
}

__attribute__((noinline)) double bare_calls(const std::vector<double>& pw, const std::vector<double>& lg) {
    double acc = 0.0;
    for (double x : pw) acc += std::pow(2.0, x);
    for (double x : lg) acc += std::log2(x);
    return acc;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> sections, levels;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "pwm" || a == "dwm" || a == "coding")
            sections.push_back(a);
        else if (cpu::Level l; cpu::parse(a.c_str(), &l) && l != cpu::Level::Avx512Vbmi)
            levels.push_back(a);
        else {
            std::fprintf(stderr, "unknown argument %s: expected pwm, dwm, coding, base, avx2 or avx512\n", argv[i]);
            return 2;
        }
    }
    auto wanted = [](const std::vector<std::string>& v, const char* x) {
        return v.empty() || std::find(v.begin(), v.end(), x) != v.end();
    };
    std::mt19937_64 rng(7);
    const cpu::Level widest = cpu::widest();
    std::printf("machine level: %s\n", cpu::name(widest));
    std::vector<cpu::Level> run;
    // The scoring forms: the byte permutes of the widest level add none.
    for (int lv = 0; lv <= std::min(static_cast<int>(widest), static_cast<int>(cpu::Level::Avx512)); ++lv)
        if (wanted(levels, cpu::name(static_cast<cpu::Level>(lv)))) run.push_back(static_cast<cpu::Level>(lv));

    // ---------------------------------------------------------------- PWM
    if (wanted(sections, "pwm")) {
        const std::int64_t n = 10'000'000, L = 20;
        std::vector<std::int64_t> seq(n);
        for (auto& c : seq) c = (rng() % 100 == 0) ? 4 : static_cast<std::int64_t>(rng() % 4);
        std::vector<double> pssm(5 * L);
        for (auto& v : pssm) v = std::uniform_real_distribution<double>(-2, 2)(rng);
        std::vector<double> out(n, 0.0), ref(n, 0.0), conv(n, 0.0);
        const double t_conv = best_of(7, [&] { convert(seq.data(), conv.data(), n); });
        const double t_plain = best_of(3, [&] { morvane::reference::pwm_score(seq, grid(pssm, L), ref.data()); });
        std::printf("pwm_score  n=%lld L=%lld 1%% N: int64->double pass %.2f ms, plain loop %.2f ms (%.2fx)\n",
                    (long long)n, (long long)L, t_conv * 1e3, t_plain * 1e3, t_plain / t_conv);
        for (const cpu::Level lv : run) {
            cpu::limit(lv);
            const double t = best_of(7, [&] { pwm_score(view(seq), grid(pssm, L), out.data()); });
            const bool same = std::memcmp(out.data(), ref.data(), n * 8) == 0;
            std::printf("  %-6s %.2f ms  = %.2fx conversion, %.2fx faster than plain, bit-identical: %s\n",
                        cpu::name(lv), t * 1e3, t / t_conv, t_plain / t, same ? "yes" : "NO");
        }
        cpu::limit(widest);
    }

    // ---------------------------------------------------------------- DWM
    if (wanted(sections, "dwm")) {
        const std::int64_t n = 200'000, L = 20;
        std::vector<std::int64_t> seq(n);
        for (auto& c : seq) c = static_cast<std::int64_t>(rng() % 4);
        std::vector<double> bp(5 * L), gp(5 * L), bd(25 * L * L), gd(25 * L * L);
        std::uniform_real_distribution<double> u(0.02, 0.4), uu(0.001, 0.12);
        for (auto* v : {&bp, &gp})
            for (auto& x : *v) x = std::log2(u(rng));
        for (auto* v : {&bd, &gd})
            for (auto& x : *v) x = std::log2(uu(rng));
        const std::int64_t nw = n - L + 1;
        std::vector<double> out(n), ref(n), pw(static_cast<std::size_t>(nw * L * 8)),
            lg(static_cast<std::size_t>(nw * L * 2));
        const double t_plain = best_of(2, [&] {
            morvane::reference::dwm_score(seq, L, grid(bp, L), grid(gp, L), grid4(bd, L), grid4(gd, L), ref.data(),
                                          nullptr, nullptr);
        });
        morvane::reference::dwm_score(seq, L, grid(bp, L), grid(gp, L), grid4(bd, L), grid4(gd, L), ref.data(),
                                      pw.data(), lg.data());
        std::printf(
            "dwm_score  n=%lld L=%lld: plain loop %.1f ms; each level races the bare calls the plain loop\n"
            "           makes (%lld pow(2, x) and %lld log2 on its own arguments)\n",
            (long long)n, (long long)L, t_plain * 1e3, (long long)pw.size(), (long long)lg.size());
        for (const cpu::Level lv : run) {
            cpu::limit(lv);
            const auto [t, t_calls] = race(
                5,
                [&] {
                    dwm_score(view(seq), static_cast<std::int32_t>(L), grid(bp, L), grid(gp, L), grid4(bd, L),
                              grid4(gd, L), out.data());
                },
                [&] { sink = bare_calls(pw, lg); });
            const bool same = std::memcmp(out.data(), ref.data(), n * 8) == 0;
            std::printf(
                "  %-6s %.1f ms, bare calls %.1f ms  = %.3fx bare calls, pow lanes: %s, %.2fx faster than plain, "
                "bit-identical: %s\n",
                cpu::name(lv), t * 1e3, t_calls * 1e3, t / t_calls, pow2::available(lv) ? "yes" : "no", t_plain / t,
                same ? "yes" : "NO");
        }
        cpu::limit(widest);
    }

    // -------------------------------------------------------------- coding
    if (wanted(sections, "coding")) {
        const std::int64_t n = 100'000'000;
        std::vector<std::uint8_t> text(n);
        for (auto& c : text) c = static_cast<std::uint8_t>("ACGTNacgt"[rng() % 9]);
        std::vector<std::int64_t> codes(n, 0);
        const double t = best_of(3, [&] { encode(text.data(), n, view(codes)); });
        std::printf("encode     100M ASCII chars into a faulted-in int64 array: %.1f ms\n", t * 1e3);
        const std::int64_t k = 1000, reps = 100'000;
        const double tg = best_of(3, [&] {
            std::int64_t s = 0;
            for (std::int64_t r = 0; r < reps; ++r) s += count_gc(text.data() + (r * 997) % (n - k), k);
            sink = static_cast<double>(s);
        });
        std::printf("count_gc   1 kbp: %.1f ns per call\n", tg / reps * 1e9);
    }
    return 0;
}
