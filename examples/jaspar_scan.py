"""Scan a genome with a JASPAR motif, on both strands.

Loads a count matrix from the JASPAR database that the `pyjaspar` package
ships (no network access needed), turns it into a morvane PWM, scores both
strands of every sequence of an indexed FASTA file (the bundled lambda phage
genome by default) against it, with the genome itself as background, and
prints the best hits.

    pip install "morvane[jaspar]"
    python examples/jaspar_scan.py                 # CTCF, MA0139.1
    python examples/jaspar_scan.py MA0106.3 --hits 5

From counts to a PWM
--------------------
A JASPAR matrix holds, for each motif position, how many of its N aligned
sites carry A, C, G or T. A morvane matrix counts whole aligned sequences, and
the `amount` of `add_sequence` weighs a whole sequence, not one position, so a
column cannot be added on its own. Instead the count matrix is turned back
into N "virtual sites" whose columns have exactly the JASPAR compositions:
sort each column's letters and stack the columns, so that virtual site i takes
the i-th letter of every column. Consecutive virtual sites are often
identical, and a run of identical ones is counted once with `amount` set to
the run's length. A run ends wherever some column changes letter, so a motif
of width W needs at most 3W + 1 calls, and the run lengths need not be
integers. Afterwards `counts[:4]` equals the JASPAR matrix (rows reordered to
morvane's A, T, C, G) and `prepare_mat` applies the usual pseudo-count:
(count + 1) / (N + 4).

About two in five JASPAR matrices have columns with different totals (sites
shorter than the motif) or fractional counts. Each column is then scaled to
the mean column total first, which keeps its letter frequencies.

The virtual sites pair letters of different columns arbitrarily, so they say
nothing about dependencies between positions: build a DWM only from real
aligned sites, never from a count matrix.
"""

import argparse
from collections import namedtuple
from pathlib import Path

import numpy as np
import pysam
from pyjaspar import jaspardb

from morvane.utils.sequences import GenomicSequence, SequenceMatrix

DATA = Path(__file__).resolve().parent.parent / "data"
FASTA = DATA / "lambda_virus.fa"
JASPAR_ROWS = "ACGT"          # row order of a JASPAR count matrix
MORVANE_ROWS = "ATCG"         # nucleotide codes 0, 1, 2, 3
TILE = 100_000                # bases per scanned region

Region = namedtuple("Region", "chrom start end")


def jaspar_counts(motif):
    """The motif's counts as a (4, W) float array in morvane's code order."""
    return np.array([motif.counts[base] for base in MORVANE_ROWS], dtype=float)


def virtual_sites(counts):
    """Distinct stacked virtual sites of a (4, W) count matrix, with their weights.

    Yields (codes, amount) pairs; counting every pair with
    add_sequence(codes, amount) reproduces `counts` column by column.
    """
    totals = counts.sum(axis=0)
    if np.any(totals <= 0):
        raise ValueError("every column of the count matrix needs a positive total")
    total = totals.mean()
    if not np.all(totals == total):
        counts = counts * (total / totals)            # same frequencies, common total
    edges = np.cumsum(counts, axis=0)                 # (4, W): where each letter's run ends
    edges[-1] = total                                 # exact, whatever the rounding
    cuts = np.unique(np.concatenate(([0.0], edges[:-1].ravel(), [total])))
    cuts = cuts[(cuts >= 0) & (cuts <= total)]
    for lo, hi in zip(cuts[:-1], cuts[1:]):
        if hi <= lo:
            continue
        mid = (lo + hi) / 2
        # In column m, the virtual sites from lo to hi carry the first letter
        # whose cumulative count passes mid.
        codes = (edges < mid).sum(axis=0).astype(np.int64)
        yield codes, float(hi - lo)


def build_pwm(counts, background):
    width = counts.shape[1]
    pwm = SequenceMatrix.create(width, "PWM")
    runs = 0
    for codes, amount in virtual_sites(counts):
        pwm.add_sequence(codes, amount=amount)
        runs += 1
    for codes in background:
        pwm.add_background(codes)
    pwm.prepare_mat()
    return pwm, runs


def tiles(fasta, size):
    for chrom, length in zip(fasta.references, fasta.lengths):
        for start in range(0, length, size):
            yield Region(chrom, start, min(start + size, length))


def genome_background(fasta, regions, width):
    """Non-overlapping windows of the motif width on both strands of the genome."""
    for region in regions:
        g = GenomicSequence(region).from_fasta(fasta)
        for strand in (g.sequence, g.revcomp):
            for i in range(0, g.length - width + 1, width):
                window = strand[i:i + width]
                if window.max() < 4:              # leave out windows holding N
                    yield window


def scan(pwm, fasta, regions):
    """(score, chrom, first base, strand) of every scored window of both strands."""
    width = pwm.pssm.shape[1]
    half = width // 2                             # score index = window start + half
    hits = []
    for region in regions:
        # Read width - 1 bases past the region's end, so that windows straddling
        # two regions are scored whole, and owned by the region they start in.
        size = fasta.get_reference_length(region.chrom)
        scan_region = Region(region.chrom, region.start, min(region.end + width - 1, size))
        g = GenomicSequence(scan_region).from_fasta(fasta)
        n = g.length
        for strand, codes in (("+", g.sequence), ("-", g.revcomp)):
            scores = pwm.score_sequence(codes)
            for k in np.flatnonzero(~np.isnan(scores)):
                s = k - half                      # window start on this strand
                if strand == "+":
                    first = scan_region.start + s
                else:                             # reverse index j is forward start + n - 1 - j
                    first = scan_region.start + n - 1 - (s + width - 1)
                if first < region.end:
                    hits.append((float(scores[k]), region.chrom, int(first), strand))
    return hits


def site_text(fasta, chrom, first, width, strand):
    text = fasta.fetch(chrom, first, first + width).upper()
    if strand == "-":
        text = text[::-1].translate(str.maketrans("ACGT", "TGCA"))
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("matrix_id", nargs="?", default="MA0139.1",
                        help="JASPAR matrix ID (default MA0139.1, CTCF)")
    parser.add_argument("--release", default=None,
                        help="JASPAR release, such as JASPAR2024 (default: the newest bundled)")
    parser.add_argument("--fasta", type=Path, default=FASTA,
                        help="indexed FASTA file to scan (default: the bundled lambda phage genome)")
    parser.add_argument("--hits", type=int, default=10, help="number of hits to print (default 10)")
    args = parser.parse_args()

    jdb = jaspardb(release=args.release) if args.release else jaspardb()
    motif = jdb.fetch_motif_by_id(args.matrix_id)
    if motif is None:
        parser.error(f"no motif {args.matrix_id} in {jdb.release}")
    counts = jaspar_counts(motif)
    width = counts.shape[1]

    fasta = pysam.FastaFile(str(args.fasta))
    regions = list(tiles(fasta, TILE))
    pwm, runs = build_pwm(counts, genome_background(fasta, regions, width))

    # The count matrix is reproduced exactly (up to the column scaling).
    totals = counts.sum(axis=0)
    expected = counts * (totals.mean() / totals)
    assert np.allclose(pwm.counts[:4], expected) and not pwm.counts[4].any()

    best_possible = pwm.pssm[:4].max(axis=0).sum()
    hits = scan(pwm, fasta, regions)
    hits.sort(key=lambda hit: hit[0], reverse=True)

    print(f"{motif.matrix_id} {motif.name} ({jdb.release}): width {width}, "
          f"{totals.mean():g} sites counted as {runs} weighted sequences")
    print(f"consensus {motif.consensus}; best possible score {best_possible:.2f}")
    print(f"scanned {sum(r.end - r.start for r in regions)} bp of {args.fasta.name}, "
          f"both strands, {len(hits)} windows\n")
    print(f"{'chrom':<28} {'start':>9} {'end':>9} strand {'score':>7}  site")
    for score, chrom, first, strand in hits[:args.hits]:
        print(f"{chrom:<28} {first:>9} {first + width:>9} {strand:^6} {score:7.2f}  "
              f"{site_text(fasta, chrom, first, width, strand)}")
    fasta.close()


if __name__ == "__main__":
    main()
