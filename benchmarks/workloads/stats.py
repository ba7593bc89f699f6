"""Exact PWM statistics (morvane.stats), each from a fresh motif (nothing cached): thresholds against
Biopython's discretised distribution, the p-values of the hits of a p = 1e-2 scan, thresholds from
p = 1e-2 down to 1e-12, how far the bounded p-values lie above the exact tails, and the time and
room of a whole job's statistics."""

from __future__ import annotations

import numpy as np
from inputs import random_motifs
from harness import Context, Row, race, run_child, say

WIDTHS = (10, 14, 16, 20, 30, 40)
PVALUE_SCORES = 50_000
THRESHOLD_PS = [10.0 ** -k for k in range(2, 13)]


def bench_stats(ctx: Context) -> list[Row]:
    """PwmNull(...).threshold(p) from a fresh instance, against Biopython's distribution + threshold_fpr."""
    from morvane.stats import PwmNull

    try:
        from Bio.motifs.matrix import PositionSpecificScoringMatrix
    except ImportError:
        PositionSpecificScoringMatrix = None
    rows = []
    bg = np.array([0.3, 0.3, 0.2, 0.2])
    for width in (10, 20, 30):
        say(f"stats: PWM threshold, width {width} ...")
        M = ctx.rng.normal(scale=1.5, size=(4, width))
        bio = None
        if PositionSpecificScoringMatrix is not None:
            pssm = PositionSpecificScoringMatrix("ACGT", {b: M[row].tolist() for b, row in zip("ACGT", (0, 2, 3, 1))})
            background = dict(zip("ATCG", bg.tolist()))
            # one distribution serves every p-value: time it once, with its first threshold
            bio = race((lambda: pssm.distribution(background=background).threshold_fpr(1e-4), 1))[0]
        for p in (1e-4, 1e-6):
            ours = race((lambda: PwmNull(M, bg).threshold(p), 5))[0]
            rows.append(Row(f"PWM threshold w{width} p={p:g}", ours,
                            "Biopython distribution + threshold_fpr" if bio else "-", bio, "faster", None))
    return rows


# One width in a child of capped memory and time (harness.run_child): argv holds the counts and the
# scores (.npy). Prints the best time and whether the p-values pass their check.
PVALUE_CHILD = """
import time
import numpy as np
from morvane import Motif
counts, scores = np.load(sys.argv[1]), np.load(sys.argv[2])
best = float("inf")
for _ in range(5):
    t = time.perf_counter()
    pvalues = Motif.from_counts(counts).pvalue(scores)
    best = min(best, time.perf_counter() - t)
    if best > 1.0:
        break
# at or below the p-value of the lowest score's threshold, and never rising with the score
pvalues = np.asarray(pvalues)[np.argsort(scores)]
print(best, "ok" if pvalues.max() <= 2e-2 and not np.any(np.diff(pvalues) > 0) else "bad")
"""
PVALUE_MEMORY = 4 << 30
PVALUE_TIMEOUT = 120.0


def bench_stats_pvalues(ctx: Context) -> list[Row]:
    """The p-values a p = 1e-2 scan asks of each motif: 50,000 distinct scores near its cut-off (drawn
    uniformly between the thresholds of p = 2e-2 and 5e-3), from a fresh motif each call."""
    from morvane import Motif

    folder = ctx.folder("pvalues")
    rows = []
    for width, counts in zip(WIDTHS, random_motifs(ctx.rng, WIDTHS).counts):
        say(f"stats: p-values of {PVALUE_SCORES:,} scores near p = 1e-2, width {width} (child) ...")
        probe = Motif.from_counts(counts)
        lo, hi = probe.threshold(2e-2), probe.threshold(5e-3)
        scores = ctx.rng.permutation(np.unique(ctx.rng.uniform(lo, hi, PVALUE_SCORES * 2)))[:PVALUE_SCORES]
        row = Row.budget(f"p-values of {len(scores):,} distinct scores near p=1e-2, fresh motif, w{width}", 0.05)
        if len(scores) < PVALUE_SCORES:
            row.checks.append(f"only {len(scores)} distinct scores")
        np.save(folder / "counts.npy", counts)
        np.save(folder / "scores.npy", scores)
        run = run_child(PVALUE_CHILD, str(folder / "counts.npy"), str(folder / "scores.npy"), memory=PVALUE_MEMORY,
                        timeout=PVALUE_TIMEOUT)
        if run.peak is None:
            row.checks.append("failed")
            row.note = run.error
            say(f"  w{width}: {run.error}")
        else:
            best, verdict = run.stdout.split()
            row.ours = float(best)
            row.note = f"peak RSS {run.peak / 1e6:.0f} MB"
            if verdict != "ok":
                row.checks.append("p-values above 2e-2 or rising with the score")
        rows.append(row)
    return rows


def bench_stats_thresholds(ctx: Context) -> list[Row]:
    """threshold(p) of a fresh motif per width for each p of 1e-2 to 1e-12: the slowest p counts."""
    from morvane import Motif

    rows = []
    for width, counts in zip(WIDTHS, random_motifs(ctx.rng, WIDTHS).counts):
        say(f"stats: thresholds at p = 1e-2 .. 1e-12, width {width} ...")
        times = race(*((lambda p=p: Motif.from_counts(counts).threshold(p), 3) for p in THRESHOLD_PS))
        worst = int(np.argmax(times))
        row = Row.budget(f"threshold(p), fresh motif, w{width}, slowest of p=1e-2..1e-12", 0.01, ours=times[worst])
        row.note = f"slowest at p={THRESHOLD_PS[worst]:g}; fastest {min(times) * 1e3:.2f} ms"
        rows.append(row)
    return rows


def _bracket(null, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Lower and upper bounds of the tails at sorted lowered scores x on a lattice of 2^23 steps,
    Chernoff's both ways: each sum all of whose words surely reach counts whole; each sum some of
    whose words may reach counts, below, its probability less the Chernoff bound of its words'
    residuals falling short and, above, the lesser of its probability and that of their reaching."""
    from morvane.stats import _native
    from morvane.stats.lattice import _Grid

    grid, bg = _Grid(null._M, 1 << 23), null._bg
    theta, err = 1.5 / grid.eps, null._err(x)
    b = max(int(grid.out_below(x[:1], err[:1])[0]), 0)
    top = int(grid.suffix_max[0]) + 1
    # E[exp(-theta (R - r_min)); I = i] and E[exp(theta (R - r_max)); I = i]
    tilts = [bg[:, None] * np.exp(-theta * (grid.r - grid.r.min(axis=0))),
             grid.tilt(bg, theta)]
    (base, prob, short, _, _), (_, _, reach, _, _) = (
        _native.lattice_bracket(grid.Q, bg, grid.suffix_max, b, top, False, tilt) for tilt in tilts)
    tails = np.append(np.cumsum(prob[::-1])[::-1], 0.0)
    low, high = np.empty(x.size), np.empty(x.size)
    for j, (xj, ej) in enumerate(zip(x, err)):
        sure = int(np.clip(grid.sure_from(np.array([xj]), np.array([ej]))[0] - base, 0, prob.size))
        may = int(np.clip(grid.out_below(np.array([xj]), np.array([ej]))[0] - base, 0, sure))
        # the residuals sum i needs to reach, a step either way for the roundings
        i = np.arange(may, sure)
        t = xj - grid.lo - grid.eps * (base + i)
        low[j] = tails[sure] + np.maximum(prob[i] - np.exp(theta * (t + ej + grid.eps - grid.r_min)) * short[i],
                                          0.0).sum()
        high[j] = tails[sure] + np.minimum(prob[i], np.exp(-theta * (t - ej - grid.eps - grid.r_max)) * reach[i]).sum()
    return low, high


def bench_stats_excess(ctx: Context) -> list[Row]:
    """The worst relative excess of reported p-values over the exact tails, at 2,000 scores between
    the thresholds of p = 1e-2 and 1e-6, where the lattice bound serves them. The exact tail is
    not at hand past width 16: the lower end of a bracket on a lattice of 2^23 steps stands for it
    (_bracket), which overstates the excess by at most that bracket's own width (printed)."""
    from morvane import Motif

    rows = []
    for width, counts in zip(WIDTHS, random_motifs(ctx.rng, WIDTHS).counts):
        say(f"stats: p-values above the exact tail, width {width} ...")
        null = Motif.from_counts(counts)._pwm_null()
        lo, hi = null.threshold(1e-2), null.threshold(1e-6)
        s = np.unique(np.concatenate([[lo, hi], ctx.rng.uniform(lo, hi, 2000)]))
        reported = null.pvalue(s)
        x = null._lowered(s)
        bounded = ~null._listable(x)  # listed tails are exact, correctly rounded
        row = Row.budget(f"p-value above the exact tail, w{width}, p=1e-2..1e-6, worst", 1e-4, unit="rel")
        if not bounded.any():
            row.ours, row.note = 1e-16, "every p-value listed (exact)"
        else:
            below, above = _bracket(null, x[bounded])
            excess = reported[bounded] / below - 1
            row.ours = float(excess.max())
            row.note = (f"median {np.median(excess):.1e}; {1 - bounded.mean():.0%} listed (exact); "
                        f"reference bracket {float((above / below - 1).max()):.1e} wide")
        rows.append(row)
    return rows


# A job's statistics in a child of capped memory: argv holds the counts (.npz). Thresholds at
# p = 1e-3, then the p-values of 20,000 distinct scores above each threshold, in chunks of 2,000 one
# motif after the other (as a scan asks them, chunk by chunk). Prints the two times.
JOB_CHILD = """
import time
import numpy as np
from morvane import Motif
counts = list(np.load(sys.argv[1]).values())
motifs = [Motif.from_counts(c) for c in counts]
t = time.perf_counter()
cuts = [m.threshold(1e-3) for m in motifs]
thresholds = time.perf_counter() - t
rng = np.random.default_rng(0)
scores = [rng.permutation(np.unique(rng.uniform(c, m._pwm_null().max_score, 20000))) for m, c in zip(motifs, cuts)]
t = time.perf_counter()
for lo in range(0, 20000, 2000):
    for m, s in zip(motifs, scores):
        m.pvalue(s[lo:lo + 2000])
print(thresholds, time.perf_counter() - t, sum(s.size for s in scores))
"""
JOB_MOTIFS = 300


def bench_stats_job(ctx: Context) -> list[Row]:
    """The statistics of a job of 300 motifs of widths 6 to 40: every threshold, then 20,000 hit
    p-values per motif asked chunk by chunk, within 256 MB and 1 us a hit."""
    folder = ctx.folder("stats-job")
    widths = ctx.rng.integers(6, 41, JOB_MOTIFS)
    np.savez(folder / "counts.npz", *random_motifs(ctx.rng, widths).counts)
    say(f"stats: a job of {JOB_MOTIFS} motifs, widths 6-40, thresholds at p = 1e-3 and 20,000 p-values each (child) ...")
    run = run_child(JOB_CHILD, str(folder / "counts.npz"), memory=PVALUE_MEMORY, timeout=600.0)
    label = f"{JOB_MOTIFS} motifs w6-40: threshold at 1e-3, then 20,000 hit p-values each in chunks"
    memory = Row.budget(f"{label}: peak RSS", 256e6, unit="B")
    per_hit = Row.budget(f"{label}: p-values per hit", 1e-6)
    per_motif = Row.budget(f"{label}: threshold per motif", 0.01)
    rows = [memory, per_hit, per_motif]
    if run.peak is None:
        for row in rows:
            row.checks.append("failed")
            row.note = run.error
        return rows
    thresholds, pvalues, n = run.stdout.split()
    memory.ours = float(run.peak)
    memory.note = "the whole interpreter's, NumPy and morvane included"
    per_hit.ours = float(pvalues) / float(n)
    per_motif.ours = float(thresholds) / JOB_MOTIFS
    return rows


WORKLOADS = {"stats": bench_stats, "stats_pvalues": bench_stats_pvalues, "stats_thresholds": bench_stats_thresholds,
             "stats_excess": bench_stats_excess, "stats_job": bench_stats_job}
