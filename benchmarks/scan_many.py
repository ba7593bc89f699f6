"""The many-motif bare scan: this build's `_scan.Scanner` against another build of it, in the same run.

    python benchmarks/scan_many.py OLD_SO [--new NEW_SO] [--scanner PKL] [--fasta FA] [--repeat N] [--per-motif]

OLD_SO is a copy of an earlier `_scan*.so` (copy the installed one aside before rebuilding); NEW_SO is
the installed `morvane._scan` unless given (e.g. a CMake build's module). PKL holds
dict(matrices=[(5, L) float64 arrays], thresholds=[...]). The FASTA is read once in chunks of 1 Mbp (the
overlap of the widest motif appended) and coded with `_scan.encode`; only `scan` calls are timed. The two
builds take turns, the best time of each counts, and every hit must be the same: windows, motifs, strands
and the score's bits, the records byte for byte (a build from before `scan` returned one array of hits is
compared column by column). `--per-motif` also times each motif alone (both builds) to show where time goes.
"""
import argparse
import importlib.machinery
import importlib.util
import pickle
import sys
import time

import numpy as np

CHUNK = 1 << 20


def load_build(path: str):
    """The extension at path, loaded under its own module name apart from the installed one."""
    loader = importlib.machinery.ExtensionFileLoader("morvane._scan", path)
    spec = importlib.util.spec_from_file_location("morvane._scan", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def chunks(fasta: str, overlap: int, encode) -> list[tuple[np.ndarray, int]]:
    import pysam

    out = []
    with pysam.FastaFile(fasta) as fa:
        for name, n in zip(fa.references, fa.lengths):
            for a in range(0, n, CHUNK):
                b = min(a + CHUNK, n)
                out.append((encode(fa.fetch(name, a, min(b + overlap, n))), b - a))
    return out


def scan_all(scanner, jobs):
    return [scanner.scan(codes, limit) for codes, limit in jobs]


def best_of(fns, repeat: int) -> list[float]:
    for fn in fns:
        fn()
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t)
    return best


def hit_columns(result) -> list[np.ndarray]:
    """The motif, start, strand and score of a scan's hits, from the (hits, tested) a build returns
    or from the (motif, start, strand, score, tested) of builds before it."""
    if len(result) == 2:
        return [np.ascontiguousarray(result[0][name]) for name in ("motif", "start", "strand", "score")]
    return list(result[:4])


def same_hits(a, b) -> bool:
    """Every hit the same; between builds that both return records, every byte of them (windows too)."""
    def same(ra, rb) -> bool:
        if len(ra) == len(rb) == 2 and ra[0].dtype == rb[0].dtype:
            return ra[0].tobytes() == rb[0].tobytes() and np.array_equal(ra[1], rb[1])
        return all(np.array_equal(x.view(np.uint8), y.view(np.uint8)) for x, y in zip(hit_columns(ra), hit_columns(rb)))
    return all(same(ra, rb) for ra, rb in zip(a, b))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("old")
    ap.add_argument("--new")
    ap.add_argument("--scanner", default="/tmp/pf/jaspar_scanner.pkl")
    ap.add_argument("--fasta", default="/tmp/pf/scan21.fa")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--per-motif", action="store_true")
    args = ap.parse_args()

    if args.new:
        new = load_build(args.new)
    else:
        from morvane import _scan as new
    old = load_build(args.old)
    with open(args.scanner, "rb") as f:
        d = pickle.load(f)
    mats, thresholds = d["matrices"], d["thresholds"]
    jobs = chunks(args.fasta, max(m.shape[1] for m in mats) - 1, new.encode)
    s_old, s_new = old.Scanner(mats, thresholds), new.Scanner(mats, thresholds)
    h_old, h_new = scan_all(s_old, jobs), scan_all(s_new, jobs)
    hits = sum(len(hit_columns(r)[0]) for r in h_new)
    if not same_hits(h_old, h_new):
        print("hits differ between the builds", file=sys.stderr)
        return 1
    t_old, t_new = best_of([lambda: scan_all(s_old, jobs), lambda: scan_all(s_new, jobs)], args.repeat)
    print(f"{len(mats)} motifs, {sum(len(c) for c, _ in jobs) / 1e6:.1f} Mbp, {hits} hits (identical)")
    print(f"old {t_old:.3f} s  new {t_new:.3f} s  old/new {t_old / t_new:.2f}x")
    if args.per_motif:
        rows = []
        for k, (P, t) in enumerate(zip(mats, thresholds)):
            a, b = old.Scanner([P], [t]), new.Scanner([P], [t])
            ta, tb = best_of([lambda: scan_all(a, jobs), lambda: scan_all(b, jobs)], 1)
            n = sum(len(hit_columns(r)[0]) for r in scan_all(b, jobs))
            rows.append((P.shape[1], k, n, ta, tb))
        print(" L  motif    hits   old ms   new ms")
        for L, k, n, ta, tb in sorted(rows):
            print(f"{L:2d} {k:6d} {n:7d} {ta * 1e3:8.1f} {tb * 1e3:8.1f}")
        print(f"sum of single-motif scans: old {sum(r[3] for r in rows):.3f} s  new {sum(r[4] for r in rows):.3f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
