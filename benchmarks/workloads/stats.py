"""Exact PWM statistics (morvane.stats), each from a fresh motif (nothing cached): thresholds against
Biopython's discretised distribution, the p-values of the hits of a p = 1e-2 scan, and thresholds
from p = 1e-2 down to 1e-12."""

from __future__ import annotations

import numpy as np
from inputs import random_motifs
from harness import Context, Row, race, run_child, say

WIDTHS = (10, 14, 16, 20, 30)
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


WORKLOADS = {"stats": bench_stats, "stats_pvalues": bench_stats_pvalues, "stats_thresholds": bench_stats_thresholds}
