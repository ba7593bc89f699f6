"""Scan the lambda phage genome for repressor operator sites.

Builds a PWM and a DWM from the aligned sites in data/sites.txt, with the
genome itself as background, scores both strands of the genome in windows of
about 10 kbp, and prints the best hits with the PWM and DWM scores side by
side, followed by the GC content of the scanned regions.

    python examples/scan_genome.py --hits 15
"""

import argparse
from collections import namedtuple
from pathlib import Path

import numpy as np
import pysam

from morvane.utils.sequences import GenomicSequence, SequenceMatrix, get_gc_content, nuc_to_num

DATA = Path(__file__).resolve().parent.parent / "data"
FASTA = str(DATA / "lambda_virus.fa")
SITES = DATA / "sites.txt"
STEP = 10_000

Region = namedtuple("Region", "chrom start end")


def tiles(fasta, step):
    """Non-overlapping regions of at most `step` bases covering every chromosome."""
    for chrom, size in zip(fasta.references, fasta.lengths):
        for start in range(0, size, step):
            yield Region(chrom, start, min(start + step, size))


def build(stype, width, sites, background):
    matrix = SequenceMatrix.create(width, stype)
    for site in sites:
        matrix.add_sequence(nuc_to_num(site))
    for codes in background:
        matrix.add_background(codes)
    matrix.prepare_mat()
    return matrix


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hits", type=int, default=10,
                        help="number of best hits to print (default 10)")
    args = parser.parse_args()

    sites = SITES.read_text().split()
    width = len(sites[0])
    half = int(width * 0.5)        # scores sit at window start + half
    fasta = pysam.FastaFile(FASTA)
    regions = list(tiles(fasta, STEP))

    # Background: non-overlapping windows of both strands of the genome.
    background = []
    for region in regions:
        g = GenomicSequence(region).from_fasta(fasta)
        for strand in (g.sequence, g.revcomp):
            background += [strand[i:i + width]
                           for i in range(0, g.length - width + 1, width)]
    pwm = build("PWM", width, sites, background)
    dwm = build("DWM", width, sites, background)

    # Each region is read width - 1 bases past its end, so that sites that
    # straddle two regions are seen whole.
    hits = []
    for region in regions:
        size = fasta.get_reference_length(region.chrom)
        scan = Region(region.chrom, region.start, min(region.end + width - 1, size))
        g = GenomicSequence(scan).from_fasta(fasta)
        n = g.length
        for strand, codes in (("+", g.sequence), ("-", g.revcomp)):
            pwm_scores = pwm.score_sequence(codes)
            dwm_scores = dwm.score_sequence(codes)
            for k in np.flatnonzero(~np.isnan(pwm_scores)):
                # Forward coordinate of the site's first base. On the reverse
                # strand, index j maps to scan.start + n - 1 - j, and the
                # site's first forward base is its window's last index.
                if strand == "+":
                    first = scan.start + k - half
                else:
                    first = scan.start + n - 1 - (k - half + width - 1)
                if first < region.end:        # the next region owns the rest
                    hits.append((pwm_scores[k], dwm_scores[k], scan.chrom,
                                 first, strand))

    hits.sort(key=lambda hit: hit[0], reverse=True)
    print(f"{len(sites)} sites of width {width}; "
          f"{len(regions)} regions of up to {STEP} bp, both strands\n")
    print(f"{'chrom':<28} {'start':>6} {'end':>6} strand {'PWM':>7} {'DWM':>7}  site")
    for pwm_score, dwm_score, chrom, first, strand in hits[:args.hits]:
        site = fasta.fetch(chrom, first, first + width)
        if strand == "-":
            site = site[::-1].translate(str.maketrans("ACGTacgt", "TGCAtgca"))
        print(f"{chrom:<28} {first:>6} {first + width:>6} {strand:^6} "
              f"{pwm_score:7.2f} {dwm_score:7.2f}  {site}")
    fasta.close()

    print("\nGC content")
    for region in regions:
        gc = get_gc_content([region], FASTA)
        print(f"  {region.chrom}:{region.start}-{region.end}  {gc:.3f}")
    print(f"  all regions  {get_gc_content(regions, FASTA):.3f}")


if __name__ == "__main__":
    main()
