"""DWM scanning: the native scanner against today's road, per window, in the same run.

    python benchmarks/dwm_scan.py [--mbp 4] [--old-kbp 400] [--widths 10 17 20]

For each width, a DWM trained from 40 synthetic aligned sites (a consensus with noise and one pair
of positions that change together) scans a random genome (1% N in runs) on both strands at its
p = 1e-4 threshold. Baseline: what `morvane.scan(..., model="dwm")` did before the native scanner,
the module's `score_sequence` on the int64 codes of each chunk and of its reverse complement (timed
on a shorter stretch, compared per window). Every hit of both roads on that stretch must agree bit
for bit. Then the native scanner on 1 and on 2 threads over 1 Mbp chunks. Best of the turns counts.
The CPU share the two threads got is printed beside their ratio: on a machine whose cores others
use, it caps what two threads can gain. Prints one table; exits 0 whether or not a target is met (a report, not a test).
"""

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from morvane import _scan
from morvane.motifs import Motif

TARGET_SPEEDUP, TARGET_THREADS = 30.0, 1.7
CHUNK = 1 << 20


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


def old_road(dwm, width: int, threshold: float, codes: np.ndarray) -> list[tuple[int, int, float]]:
    """The module's scorer on int64 codes of both strands, as the pipeline's Job did it."""
    forward = codes.astype(np.int64)
    reverse = forward[::-1].copy()
    reverse[reverse < 4] ^= 1
    n, half = len(codes), width // 2
    fwd = dwm.score_sequence(forward)[half:half + n - width + 1]
    rev = dwm.score_sequence(reverse)[half:half + n - width + 1][::-1]
    rows = [(int(i), 1, fwd[i]) for i in np.flatnonzero(fwd >= threshold)]
    rows += [(int(i), -1, rev[i]) for i in np.flatnonzero(rev >= threshold)]
    return sorted(rows, key=lambda r: (r[0], -r[1]))


def best(fn, turns: int) -> float:
    return min(timed(fn)[0] for _ in range(turns))


def timed(fn) -> tuple[float, float]:
    """Wall time and the CPU time of this process meanwhile."""
    t0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - t0, time.process_time() - c0


def scan_chunks(scanner, chunks: list[np.ndarray], threads: int) -> int:
    if threads == 1:
        return sum(len(scanner.scan(c)[0]) for c in chunks)
    with ThreadPoolExecutor(threads) as pool:
        return sum(len(h) for h, _ in pool.map(scanner.scan, chunks))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mbp", type=float, default=4.0, help="genome scanned by the native scanner")
    ap.add_argument("--old-kbp", type=float, default=400.0, help="stretch scanned by today's road")
    ap.add_argument("--widths", type=int, nargs="+", default=[10, 17, 20])
    ap.add_argument("--turns", type=int, default=3)
    args = ap.parse_args()
    rng = np.random.default_rng(2024)
    codes = genome(rng, int(args.mbp * 1e6))
    short = codes[:int(args.old_kbp * 1e3)]
    chunks = [codes[i:i + CHUNK + 40] for i in range(0, len(codes), CHUNK)]
    print(f"# {os.cpu_count()} cores, SIMD level {_scan._simd_level()}; genome {len(codes):,} bp, "
          f"today's road on {len(short):,} bp; p = 1e-4, both strands")
    print("| width | threshold | hits | today ns/window | native ns/window | speed-up | target | "
          "native 1 thread s | 2 threads s | threads speed-up | target |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for L in args.widths:
        motif = Motif.from_sites(sites(rng, L), name=f"w{L}")
        threshold = float(motif.dwm_threshold(1e-4).value)
        scanner = _scan.Scanner([motif.dwm], [threshold], model="dwm")
        want = old_road(motif.dwm, L, threshold, short)
        hits, _ = scanner.scan(short)
        got = list(zip(hits["start"].tolist(), hits["strand"].tolist(), hits["score"].tolist()))
        if got != want or not np.array_equal(hits["score"].view(np.uint64),
                                             np.array([r[2] for r in want], np.float64).view(np.uint64)):
            raise SystemExit(f"width {L}: the native hits differ from today's road")
        old = best(lambda: old_road(motif.dwm, L, threshold, short), 1) / len(short)
        new = best(lambda: scanner.scan(codes), args.turns) / len(codes)
        one = best(lambda: scan_chunks(scanner, chunks, 1), args.turns)
        two = best(lambda: scan_chunks(scanner, chunks, 2), args.turns)
        wall, cpu = timed(lambda: scan_chunks(scanner, chunks, 2))
        speed, par = old / new, one / two
        mark = "met" if speed >= TARGET_SPEEDUP else "*** MISSED ***"
        mark2 = "met" if par >= TARGET_THREADS else "*** MISSED ***"
        print(f"| {L} | {threshold:.3f} | {len(scanner.scan(codes)[0])} | {old * 1e9:.0f} | {new * 1e9:.1f} | "
              f"{speed:.0f}x | >= {TARGET_SPEEDUP:.0f}x {mark} | {one:.3f} | {two:.3f} | {par:.2f}x | "
              f">= {TARGET_THREADS}x {mark2} (CPU share {cpu / wall:.2f} of 2) |")


if __name__ == "__main__":
    main()
