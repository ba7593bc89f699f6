"""DWM scanning: the native DWM scanner against the road it replaced, per window, at widths 10, 17
and 20 (p = 1e-4, both strands), and on two threads against one.

Each DWM is trained from 40 synthetic aligned sites (a consensus with noise and one pair of
positions that change together) and scans a random 4 Mbp genome (1% N in runs). The road before:
the module's `score_sequence` on the int64 codes of each chunk and of its reverse complement, timed
on a 400 kbp stretch (per window), where both roads' hits must agree bit for bit. The threads row
scores 1 Mbp chunks on a pool, as `morvane.scan(..., threads=2)` does.
"""

from __future__ import annotations

import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
from harness import Context, Row, race, say

WIDTHS = (10, 17, 20)
GENOME, STRETCH, CHUNK = 4_000_000, 400_000, 1 << 20


def sites(rng: np.random.Generator, L: int, n: int = 40) -> list[str]:
    consensus = rng.integers(0, 4, L)
    rows = np.where(rng.random((n, L)) < 0.15, rng.integers(0, 4, (n, L)), consensus)
    flip = rng.random(n) < 0.5
    rows[flip, 1] = (rows[flip, 1] + 1) % 4
    rows[flip, L - 2] = (rows[flip, L - 2] + 2) % 4
    return ["".join("ACGT"[c] for c in row) for row in rows]


def genome(rng: np.random.Generator, n: int) -> np.ndarray:
    codes = rng.integers(0, 4, n).astype(np.uint8)
    for at in rng.integers(0, n, n // 2000):
        codes[at:at + 20] = 4
    return codes


def old_road(dwm: Any, width: int, threshold: float, codes: np.ndarray) -> list[tuple[int, int, float]]:
    """The module's scorer on int64 codes of both strands, as the scan did before."""
    forward = codes.astype(np.int64)
    reverse = forward[::-1].copy()
    reverse[reverse < 4] ^= 1
    n, half = len(codes), width // 2
    fwd = dwm.score_sequence(forward)[half:half + n - width + 1]
    rev = dwm.score_sequence(reverse)[half:half + n - width + 1][::-1]
    rows = [(int(i), 1, float(fwd[i])) for i in np.flatnonzero(fwd >= threshold)]
    rows += [(int(i), -1, float(rev[i])) for i in np.flatnonzero(rev >= threshold)]
    return sorted(rows, key=lambda r: (r[0], -r[1]))


def bench_dwm_scan(ctx: Context) -> list[Row]:
    from morvane import _scan
    from morvane.motifs import Motif

    say(f"DWM scan: the native scanner against score_sequence per chunk and strand, widths {WIDTHS} ...")
    codes = genome(ctx.rng, GENOME)
    stretch = codes[:STRETCH]
    chunks = [codes[i:i + CHUNK + 40] for i in range(0, len(codes), CHUNK)]
    rows = []
    for L in WIDTHS:
        motif = Motif.from_sites(sites(ctx.rng, L), name=f"w{L}")
        threshold = float(motif.dwm_threshold(1e-4).value)
        scanner = _scan.Scanner([motif.dwm], [threshold], model="dwm")
        row = Row(f"DWM scan, w{L}, both strands, p=1e-4, per window", None,
                  "score_sequence per chunk and strand (the road before)", None, "faster", 30.0)
        hits, _ = scanner.scan(stretch)
        got = list(zip(hits["start"].tolist(), hits["strand"].tolist(), hits["score"].tolist()))
        if got != old_road(motif.dwm, L, threshold, stretch):
            row.checks.append("hits differ from the road before")
        new, old = race((lambda: scanner.scan(codes), 3), (lambda: old_road(motif.dwm, L, threshold, stretch), 1))
        row.ours, row.base = new / len(codes), old / len(stretch)
        row.note = f"{row.ours * 1e9:.1f} ns against {row.base * 1e9:.0f} ns a window"
        rows.append(row)

        def on(threads: int) -> None:
            with ThreadPoolExecutor(threads) as pool:
                list(pool.map(scanner.scan, chunks))

        pair = Row(f"DWM scan, w{L}, 4 Mbp in 1 Mbp chunks, threads=2", None, "threads=1", None, "faster", 1.7)
        pair.ours, pair.base = race((lambda: on(2), 3), (lambda: on(1), 3))
        wall, cpu = time.perf_counter(), time.process_time()
        on(2)
        share = (time.process_time() - cpu) / (time.perf_counter() - wall)
        pair.note = f"the 2 threads got {share:.2f} CPUs"
        rows.append(pair)
    return rows


WORKLOADS = {"dwm_scan": bench_dwm_scan}
