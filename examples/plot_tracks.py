"""Plot PWM and DWM score tracks of both strands along a genome region.

Builds a PWM and a DWM from the lambda repressor operator sites in
data/sites.txt (the genome itself as background), scores both strands of a
region of the bundled lambda phage genome, and writes a PNG: the known
operators (data/operators.txt, placed by matching their sequences in the
genome) above the forward and the reverse track of each matrix. Scores are
drawn at the genome coordinate of the window centre and clipped at 0, below
which a window is likelier background than site; a dashed line marks each
matrix's threshold at a p-value (1e-5 by default: the PWM's exact threshold,
the DWM's sampled estimate; see docs/statistics.md) or at a given score, and
triangles the peaks above it. (The operator sites are
near-palindromic and counted on both strands, so the two tracks of a matrix
look much alike.)

    pip install "morvane[plot]"
    python examples/plot_tracks.py tracks.png
    python examples/plot_tracks.py tracks.png --start 37000 --end 39000 --pvalue 1e-6
    python examples/plot_tracks.py tracks.png --threshold 12

The default region holds the left operators (OL1 to OL3, near 35,600) and the
right operators (OR3 to OR1, near 38,000).
"""

import argparse
from collections import namedtuple
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pysam  # noqa: E402
from matplotlib.ticker import StrMethodFormatter  # noqa: E402

from morvane import stats  # noqa: E402
from morvane.utils.sequences import GenomicSequence, SequenceMatrix, nuc_to_num  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data"
FASTA = DATA / "lambda_virus.fa"
SITES = DATA / "sites.txt"
OPERATORS = DATA / "operators.txt"
PVALUE = 1e-5

Region = namedtuple("Region", "chrom start end")
Site = namedtuple("Site", "name start end strand")


def revcomp(text):
    return text[::-1].translate(str.maketrans("ACGTacgt", "TGCAtgca"))


def build(stype, sites, background):
    matrix = SequenceMatrix.create(len(sites[0]), stype)
    for site in sites:
        matrix.add_sequence(nuc_to_num(site))
    for codes in background:
        matrix.add_background(codes)
    matrix.prepare_mat()
    return matrix


def threshold_at(matrix, stype, pvalue):
    """The matrix's score threshold at a p-value, windows drawn from its own background:
    exact for the PWM, a sampled estimate for the DWM."""
    bg = matrix.bg_pwm[:4].mean(axis=1)       # A, T, C, G, as the genome gave them
    bg = bg / bg.sum()
    if stype == "PWM":
        return stats.PwmNull(matrix.pssm, bg).threshold(pvalue)
    return float(stats.dwm_threshold(matrix, bg, pvalue).value)


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


def best_hit(forward, reverse):
    """(score, index, strand) of the best window over both strands."""
    return max((np.nanmax(track), int(np.nanargmax(track)), strand)
               for strand, track in (("+", forward), ("-", reverse)))


def peaks_above(track, threshold):
    """Indices of the local maxima of a track that reach the threshold."""
    padded = np.concatenate([[-np.inf], np.nan_to_num(track, nan=-np.inf), [-np.inf]])
    middle = padded[1:-1]
    return np.flatnonzero((middle >= threshold) & (middle >= padded[:-2]) & (middle > padded[2:]))


def known_sites(path, genome):
    """Each named site of the file, found in the genome text on either strand."""
    found = []
    for line in path.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, sequence = line.split()
            for strand, text in (("+", sequence), ("-", revcomp(sequence))):
                start = genome.find(text)
                while start >= 0:
                    found.append(Site(name, start, start + len(text), strand))
                    start = genome.find(text, start + 1)
    return sorted(found, key=lambda site: site.start)


def readable_name(path, chrom):
    """'NC_001416.1 (Enterobacteria phage lambda)' for the FASTA header
    '>gi|9626243|ref|NC_001416.1| Enterobacteria phage lambda, complete genome'."""
    with pysam.FastxFile(str(path)) as entries:
        comment = next((entry.comment for entry in entries if entry.name == chrom), None)
    description = (comment or "").split(",")[0].strip()
    fields = [field for field in chrom.split("|") if field]
    accession = fields[-1] if chrom.startswith("gi|") and len(fields) >= 4 else chrom
    return f"{accession} ({description})" if description else accession


def label_without_overlap(ax, labels, pad_px=4):
    """Write each (x, text) on the lowest row where it overlaps no other label.

    Call it once the figure's layout is final: positions are measured in pixels.
    """
    renderer = ax.figure.canvas.get_renderer()
    row_ends = []                              # right edge, in pixels, of each row's last label
    placed = []
    for x, text in sorted(labels):
        # On white, so that the leader line of a label stacked higher passes behind it.
        label = ax.text(x, 0, text, ha="center", va="bottom", fontsize=8, fontweight="bold",
                        zorder=3, bbox={"facecolor": "white", "edgecolor": "none", "pad": 1})
        box = label.get_window_extent(renderer)
        row = next((r for r, end in enumerate(row_ends) if box.x0 > end + pad_px), len(row_ends))
        if row == len(row_ends):
            row_ends.append(box.x1)
        row_ends[row] = box.x1
        placed.append((label, row))
    rows = max(len(row_ends), 1)
    for label, row in placed:
        label.set_y(0.35 + row)
        ax.plot([label.get_position()[0]] * 2, [0.12, 0.3 + row], color="0.6", lw=0.6, zorder=2)
    ax.set_ylim(-0.3, rows + 0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", type=Path, help="PNG file to write")
    parser.add_argument("--start", type=int, default=35_400, help="region start, 0-based (default 35400)")
    parser.add_argument("--end", type=int, default=38_200, help="region end, exclusive (default 38200)")
    cut = parser.add_mutually_exclusive_group()
    cut.add_argument("--pvalue", type=float, default=PVALUE,
                     help=f"p-value of the threshold line of each matrix (default {PVALUE:g})")
    cut.add_argument("--threshold", type=float, metavar="SCORE",
                     help="log2-odds score of the threshold line instead, for both matrices")
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
        operators = known_sites(OPERATORS, fasta.fetch(chrom))
    name = readable_name(FASTA, chrom)
    shown = [site for site in operators if site.end > region.start and site.start < region.end]
    for site in operators:
        print(f"{site.name} at {name}:{site.start}-{site.end} ({site.strand})")

    x = np.arange(region.start, region.end)     # forward coordinate of each index
    fig, axes = plt.subplots(5, 1, figsize=(11, 10), sharex=True,
                             gridspec_kw={"height_ratios": [0.8, 1, 1, 1, 1]})
    operator_ax, panels = axes[0], iter(axes[1:])
    for stype in ("PWM", "DWM"):
        matrix = build(stype, sites, background)
        forward, reverse = tracks(matrix, g)
        if args.threshold is not None:
            threshold, why = args.threshold, f"{args.threshold:g}"
        else:
            threshold = threshold_at(matrix, stype, args.pvalue)
            why = f"{threshold:.2f} (p = {args.pvalue:g})"
        print(f"{stype}: threshold {why}")
        top = max(np.nanmax(forward), np.nanmax(reverse), threshold)
        for strand, track, color in (("+", forward, "tab:blue"), ("-", reverse, "tab:orange")):
            ax = next(panels)
            clipped = np.clip(track, 0, None)
            ax.fill_between(x, clipped, color=color, alpha=0.25, lw=0)
            ax.plot(x, clipped, lw=0.7, color=color)
            peaks = peaks_above(track, threshold)
            ax.plot(x[peaks], track[peaks] + 0.04 * top, "v", color="black", ms=4)
            ax.axhline(threshold, color="tab:red", lw=0.8, ls="--")
            for site in shown:
                ax.axvline((site.start + site.end - 1) / 2, color="0.85", lw=0.8, zorder=0)
            ax.set_ylim(0, 1.12 * top)
            ax.set_ylabel("log2 odds")
            strand_name = "forward (+)" if strand == "+" else "reverse (-)"
            ax.set_title(f"{stype}, {strand_name} strand: {len(peaks)} peaks at or above "
                         f"the threshold {why}", fontsize=9, loc="left")
        score, k, strand = best_hit(forward, reverse)
        print(f"{stype}: best hit {score:.2f} centred at {name.split()[0]}:{x[k]} ({strand})")

    operator_ax.set_title("known repressor operators (data/operators.txt)", fontsize=9, loc="left")
    for site in shown:
        operator_ax.add_patch(plt.Rectangle((site.start, -0.1), site.end - site.start, 0.2,
                                            color="tab:red"))
    operator_ax.set_yticks([])
    for side in ("left", "right", "top"):
        operator_ax.spines[side].set_visible(False)
    axes[-1].set_xlim(region.start, region.end)
    axes[-1].xaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    axes[-1].set_xlabel(f"{name}, position of the window centre (0-based)")
    fig.suptitle(f"Lambda repressor motif ({len(sites)} sites, width {width}) on {name}, "
                 f"{region.start:,}-{region.end:,}; dashed lines: thresholds",
                 fontsize=10)
    fig.tight_layout()
    # The layout is final: labels are measured and stacked in pixels now.
    label_without_overlap(operator_ax, [((s.start + s.end - 1) / 2, s.name) for s in shown])
    fig.savefig(args.output, dpi=110)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
