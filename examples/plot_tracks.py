"""Plot PWM and DWM score tracks of both strands along a genome region.

Builds a PWM and a DWM from the lambda repressor operator sites in
data/sites.txt (the genome itself as background), scores both strands of a
region of the bundled lambda phage genome, and writes a PNG with four panels,
the forward and the reverse track of each matrix, all drawn at the genome
coordinate of the window centre, with the best hits over both strands marked
and ranked. (The operator sites are near-palindromic and counted on both
strands, so the two tracks of a matrix look much alike.)

    pip install matplotlib
    python examples/plot_tracks.py tracks.png
    python examples/plot_tracks.py tracks.png --start 37000 --end 39000 --hits 4

The default region holds the left operator (OL1 to OL3, near 35,600) and the
right operator (OR1 to OR3, near 38,000).
"""

import argparse
from collections import namedtuple
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pysam  # noqa: E402

from morvane.utils.sequences import GenomicSequence, SequenceMatrix, nuc_to_num  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data"
FASTA = DATA / "lambda_virus.fa"
SITES = DATA / "sites.txt"

Region = namedtuple("Region", "chrom start end")


def build(stype, sites, background):
    matrix = SequenceMatrix.create(len(sites[0]), stype)
    for site in sites:
        matrix.add_sequence(nuc_to_num(site))
    for codes in background:
        matrix.add_background(codes)
    matrix.prepare_mat()
    return matrix


def genome_background(fasta, width):
    """Non-overlapping windows of both strands of every sequence in the file."""
    windows = []
    for chrom, size in zip(fasta.references, fasta.lengths):
        g = GenomicSequence(Region(chrom, 0, size)).from_fasta(fasta)
        for strand in (g.sequence, g.revcomp):
            windows += [strand[i:i + width] for i in range(0, size - width + 1, width)]
    return windows


def tracks(matrix, g):
    """Forward and reverse scores, both indexed by forward genome coordinate.

    Score index k sits at the centre of its window. On the forward strand that
    is coordinate start + k; on the reverse strand, index k is coordinate
    start + n - 1 - k, so reversing the reverse track lines it up.
    """
    forward = matrix.score_sequence(g.sequence)
    reverse = matrix.score_sequence(g.revcomp)[::-1]
    return forward, reverse


def best_hits(forward, reverse, count):
    """(score, index, strand) of the `count` best windows over both strands."""
    hits = [(s, k, "+") for k, s in enumerate(forward) if not np.isnan(s)]
    hits += [(s, k, "-") for k, s in enumerate(reverse) if not np.isnan(s)]
    hits.sort(reverse=True)
    return hits[:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", type=Path, help="PNG file to write")
    parser.add_argument("--start", type=int, default=35_400, help="region start, 0-based (default 35400)")
    parser.add_argument("--end", type=int, default=38_200, help="region end, exclusive (default 38200)")
    parser.add_argument("--hits", type=int, default=6, help="best hits to mark per matrix (default 6)")
    args = parser.parse_args()

    sites = SITES.read_text().split()
    width = len(sites[0])
    with pysam.FastaFile(str(FASTA)) as fasta:
        chrom = fasta.references[0]
        if not 0 <= args.start < args.end <= fasta.get_reference_length(chrom):
            parser.error(f"the region must lie within 0-{fasta.get_reference_length(chrom)}")
        if args.end - args.start < width:
            parser.error(f"the region must be at least {width} bp long")
        background = genome_background(fasta, width)
        region = Region(chrom, args.start, args.end)
        g = GenomicSequence(region).from_fasta(fasta)

    x = np.arange(region.start, region.end)     # forward coordinate of each index
    fig, axes = plt.subplots(4, 1, figsize=(11, 9), sharex=True)
    panels = iter(axes)
    for stype in ("PWM", "DWM"):
        matrix = build(stype, sites, background)
        forward, reverse = tracks(matrix, g)
        marked = best_hits(forward, reverse, args.hits)
        scored = np.concatenate([forward[~np.isnan(forward)], reverse[~np.isnan(reverse)]])
        low, high = np.percentile(scored, 1), scored.max()
        for strand, track, color in (("+", forward, "tab:blue"), ("-", reverse, "tab:orange")):
            ax = next(panels)
            ax.plot(x, track, lw=0.7, color=color)
            for rank, (score, k, hit_strand) in enumerate(marked, 1):
                if hit_strand == strand:
                    ax.plot(x[k], score, "v", color="black", ms=5)
                    ax.annotate(str(rank), (x[k], score), textcoords="offset points",
                                xytext=(6, -2), fontsize=8)
            ax.set_ylim(low, high + 0.15 * (high - low))
            ax.set_ylabel("log2 score")
            name = "forward" if strand == "+" else "reverse"
            ax.set_title(f"{stype}, {name} strand", fontsize=9, loc="left")
        if marked:
            score, k, strand = marked[0]
            print(f"{stype}: best hit {score:.2f} centred at {chrom}:{x[k]} ({strand})")
    axes[-1].set_xlabel(f"{chrom} position (window centre, 0-based)")
    fig.suptitle(f"Score tracks of {len(sites)} operator sites (width {width}), "
                 f"{chrom}:{region.start}-{region.end}", fontsize=11)
    fig.tight_layout()
    fig.savefig(args.output, dpi=110)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
