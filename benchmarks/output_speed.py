"""BED output speed and the command's peak memory, against the writer and the command they replace.

    python benchmarks/output_speed.py [--rows N] [--genome FASTA --motifs JASPAR --before MORVANE]

1. BED lines per second: a table of hits written to /dev/null by `HitWriter` (rows built by
   `morvane._scan.format_rows`, 65,536 at a time as `morvane scan` writes them) and by the loop
   `morvane scan` wrote with before (one f-string per row over columns turned into lists), in the
   same run, each timed best of three.
2. Peak RSS of `morvane scan` on a hits-heavy job (the first 10 motifs of --motifs on --genome at
   p = 1e-2), through /usr/bin/time -v: this package's command and, given --before, an older one.
"""

import argparse
import io
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import morvane
from morvane.output import HitWriter
from morvane.scan import Hits, hits_dtype


def table(n: int, seed: int = 0) -> Hits:
    """n hits as a scan gives them: 17-digit scores, p-values, windows of 8 to 30 bases."""
    rng = np.random.default_rng(seed)
    t = np.empty(n, hits_dtype(5, 8, 30, alt_len=8))
    t["chrom"] = np.array(["chr1", "chr2", "chr10"])[rng.integers(0, 3, n)]
    t["start"] = np.sort(rng.integers(0, 250_000_000, n))
    t["end"] = t["start"] + rng.integers(8, 31, n)
    t["motif"] = np.array([f"MA{i:04d}.1" for i in range(100)])[rng.integers(0, 100, n)]
    t["motif_alt"] = np.array([f"TF{i}" for i in range(100)])[rng.integers(0, 100, n)]
    t["score"] = rng.normal(12, 3, n)
    t["strand"] = np.where(rng.random(n) < 0.5, "+", "-")
    t["pvalue"] = 10.0 ** -rng.uniform(3, 9, n)
    t["sequence"] = np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, (n, 30))].view("S30").ravel()
    return t.view(Hits)


def before_loop(hits: Hits, out: io.TextIOBase) -> None:
    """How `morvane scan` wrote its BED rows before (columns of the old layout)."""
    rows = zip(*(hits[name].tolist() for name in ("chrom", "start", "end", "motif", "score", "strand", "pvalue",
                                                  "sequence")))
    out.writelines(f"{chrom}\t{start}\t{end}\t{motif}\t{score!r}\t{strand}\t{p:.6g}\t{sequence}\n"
                   for chrom, start, end, motif, score, strand, p, sequence in rows)


def best_of(runs: int, work) -> float:
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        work()
        times.append(time.perf_counter() - t0)
    return min(times)


def write_batches(hits: Hits, sink: io.RawIOBase, batch: int = 1 << 16) -> None:
    """As `morvane scan` writes: a table of `batch` rows at a time."""
    writer = HitWriter(sink, "bed", False)
    for lo in range(0, len(hits), batch):
        writer.write(hits[lo:lo + batch])


def lines_per_second(n: int) -> None:
    hits = table(n)
    with open(os.devnull, "wb") as sink:
        ours = best_of(3, lambda: write_batches(hits, sink))
    with open(os.devnull, "w") as sink:
        theirs = best_of(3, lambda: before_loop(hits, sink))
    print(f"BED lines per second, {n} rows to /dev/null: HitWriter {n / ours / 1e6:.2f} M/s, "
          f"the loop before {n / theirs / 1e6:.2f} M/s ({theirs / ours:.1f} times faster)")


def peak_rss(command: list[str]) -> tuple[int, float]:
    """(peak RSS in bytes, wall seconds) of a command, by /usr/bin/time -v."""
    t0 = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True)
    if result.returncode:
        raise RuntimeError(result.stderr[-500:])
    kb = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    return kb * 1024, time.perf_counter() - t0


def scan_memory(genome: str, motifs: str, before: str | None) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        text = Path(motifs).read_text()
        first = ">" + ">".join(text.split(">")[1:11])
        ten = Path(tmp) / "ten.jaspar"
        ten.write_text(first)
        out = Path(tmp) / "hits.bed"
        here = str(Path(sys.executable).with_name("morvane"))
        for label, binary in (("this morvane", here), ("before", before)):
            if binary is None:
                continue
            peak, wall = peak_rss([binary, "scan", genome, str(ten), "--pvalue", "1e-2", "--quiet", "-o", str(out)])
            with open(out, "rb") as fh:
                hits = sum(1 for line in fh if not line.startswith(b"#"))
            print(f"peak RSS of morvane scan, 10 motifs at p = 1e-2 ({hits} hits), {label}: "
                  f"{peak / 1e6:.0f} MB in {wall:.1f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--genome", help="FASTA for the memory run (none: skipped)")
    parser.add_argument("--motifs", help="JASPAR file, the first 10 motifs of which are scanned")
    parser.add_argument("--before", help="an older morvane command to measure beside this one")
    args = parser.parse_args()
    print(f"morvane {morvane.__version__}")
    lines_per_second(args.rows)
    if args.genome and args.motifs:
        scan_memory(args.genome, args.motifs, args.before)


if __name__ == "__main__":
    main()
