"""morvane variants at GWAS scale, and the calibration of its change p-value.

    python benchmarks/variants_scale.py [--variants 1000000] [--threads 2] [--mbp 100]
    python benchmarks/variants_scale.py --calibration [--variants 20000]

Scale: random SNVs (sorted, REF from the genome) on a generated assembly-like genome, every JASPAR
CORE vertebrate matrix (/tmp/ref/jaspar_all.jaspar, else pyjaspar's, else 1019 random ones of widths
6 to 30), p = 1e-4, the whole `morvane variants` command from the VCF to the TSV. Rows: the command
with --pvalues reached against the 3-minute target; with --pvalues both (every allele's exact
p-value) on two shares of the variants, extrapolated along the line through them; and, when
MOODS-python is importable, the road a user
would write without morvane (MOODS scan_dna on both alleles' flanks, the same matrices and p) on
the same share, scaled. Its peak memory is printed beside.

Calibration: random SNVs (ALT any other base) on a random genome of uniform bases, 24 motifs of
widths 6 to 12 whose background is uniform, every allele pair and motif scored (p = 1): the share
of pairs whose change_pvalue, and whose change_sampled, is at most a, against a. A valid p-value
keeps it at or below a; a calibrated one, near a.
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from inputs import jaspar_motifs, random_motifs, scan_genome, write_fasta  # noqa: E402

TARGET = 180.0
JASPAR_FILE = Path("/tmp/ref/jaspar_all.jaspar")


def write_snvs(fasta: str, path: Path, n: int, rng: np.random.Generator) -> int:
    """n sorted SNVs on the records of fasta, none on N; returns how many were written."""
    import pysam

    lut = np.full(256, 4, np.int64)
    for i, b in enumerate(b"ACGT"):
        lut[b] = i
        lut[b + 32] = i
    with pysam.FastaFile(fasta) as fa, open(path, "w") as out:
        out.write("##fileformat=VCFv4.2\n" + "".join(f"##contig=<ID={c},length={L}>\n"
                                                      for c, L in zip(fa.references, fa.lengths)))
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        total = sum(fa.lengths)
        written = 0
        for chrom, length in zip(fa.references, fa.lengths):
            seq = np.frombuffer(fa.fetch(chrom).encode(), np.uint8)
            k = int(round(n * length / total))
            pos = np.unique(rng.integers(0, length, 2 * k))
            pos = pos[lut[seq[pos]] < 4]
            pos = np.sort(rng.choice(pos, min(k, len(pos)), replace=False))
            ref = lut[seq[pos]]
            alt = (ref + rng.integers(1, 4, len(pos))) % 4
            letters = np.array(list("ACGT"))
            lines = np.char.add(np.char.add(f"{chrom}\t", (pos + 1).astype(str)), "\t.\t")
            lines = np.char.add(np.char.add(np.char.add(lines, letters[ref]), "\t"), letters[alt])
            out.write("\t.\t.\t.\n".join(lines.tolist()) + "\t.\t.\t.\n")
            written += len(pos)
    return written


def motif_file(folder: Path) -> tuple[str, str, list]:
    """(path, what it holds, count matrices) of the matrices to score."""
    if JASPAR_FILE.exists():
        import morvane

        motifs = morvane.read_motifs(JASPAR_FILE)
        return str(JASPAR_FILE), f"{len(motifs)} matrices of {JASPAR_FILE}", [m.counts for m in motifs]
    found, why = jaspar_motifs()
    if found is None:
        found = random_motifs(np.random.default_rng(7), np.random.default_rng(8).integers(6, 31, 1019))
        print(f"JASPAR unavailable ({why}): 1019 random motifs of widths 6 to 30")
    return found.write_jaspar(folder / "motifs.jaspar"), found.source, found.counts


def run(argv: list[str]) -> tuple[float, float]:
    """Seconds and peak resident MB of a command run in a child; its CPU seconds are printed (the
    machine may be shared: CPU time over the cores is what an idle one would take at best)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    subprocess.run(argv, check=True)
    seconds = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    print(f"  ({seconds:.1f} s wall, {cpu:.1f} s CPU, {cpu / max(seconds, 1e-9):.2f} cores)", flush=True)
    return seconds, max(after.ru_maxrss, before.ru_maxrss) / 1024


def head_vcf(path: Path, out: Path, n: int) -> None:
    """The header and every k-th record of path, for about n records."""
    lines = path.read_text().splitlines(keepends=True)
    header = [line for line in lines if line.startswith("#")]
    body = lines[len(header):]
    step = max(1, len(body) // n)
    out.write_text("".join(header + body[::step][:n]))


def moods_flanks(vcf: Path, fasta: str, counts: list, p: float) -> int:
    """MOODS scan_dna over each SNV's two alleles with the widest motif's flanks: the hits."""
    import MOODS.scan
    import MOODS.tools
    import pysam

    from peers import log_odds

    bg = MOODS.tools.flat_bg(4)
    mats = [tuple(map(tuple, log_odds(c))) for c in counts]
    mats += [MOODS.tools.reverse_complement(m) for m in mats]
    thresholds = [MOODS.tools.threshold_from_p(m, bg, p) for m in mats]
    flank = max(c.shape[1] for c in counts) - 1
    scanner = MOODS.scan.Scanner(7)
    scanner.set_motifs(mats, bg, thresholds)
    hits = 0
    with pysam.FastaFile(fasta) as fa, open(vcf) as handle:
        for line in handle:
            if line.startswith("#"):
                continue
            chrom, pos, _, ref, alt = line.split("\t")[:5]
            at = int(pos) - 1
            left = fa.fetch(chrom, max(at - flank, 0), at)
            right = fa.fetch(chrom, at + 1, at + 1 + flank)
            for allele in (ref, alt):
                hits += sum(len(h) for h in scanner.scan(left + allele + right))
    return hits


def scale(args: argparse.Namespace) -> None:
    rng = np.random.default_rng(1)
    folder = Path(tempfile.mkdtemp(prefix="morvane-variants-"))
    print(f"genome: {args.mbp} Mbp (generated in {folder}) ...", flush=True)
    fasta = scan_genome(rng, folder, args.mbp)
    vcf = folder / "snvs.vcf"
    n = write_snvs(fasta, vcf, args.variants, rng)
    motifs, what, counts = motif_file(folder)
    print(f"{n:,} SNVs x {what}, p = 1e-4, {args.threads} threads", flush=True)
    command = [str(Path(sys.executable).with_name("morvane")), "variants", fasta, str(vcf), motifs,
               "--pvalue", "1e-4", "--threads", str(args.threads), "--quiet"]
    seconds, peak = run(command + ["--pvalues", "reached", "-o", str(folder / "reached.tsv")])
    rows = sum(1 for _ in open(folder / "reached.tsv")) - 2
    print(f"morvane variants --pvalues reached: {seconds:.1f} s, {rows:,} rows, peak {peak:.0f} MB; "
          f"target {TARGET:.0f} s: {'met' if seconds <= TARGET else 'NOT met'} ({seconds / TARGET:.2f}x)")
    # --pvalues both: a fixed cost (each motif's tables built once per million rows) and a cost per
    # variant, read off two shares
    times = {}
    for size in (args.share, 5 * args.share):
        part = folder / f"share{size}.vcf"
        head_vcf(vcf, part, size)
        times[size], _ = run(command[:3] + [str(part)] + command[4:] + ["--pvalues", "both", "-o", os.devnull])
    small, large = args.share, 5 * args.share
    per = (times[large] - times[small]) / (large - small)
    print(f"--pvalues both: {small:,} SNVs {times[small]:.1f} s, {large:,} SNVs {times[large]:.1f} s; "
          f"by the line through them, {n:,}: {times[small] + per * (n - small):.0f} s")
    share = folder / f"share{args.share}.vcf"
    scale_by = n / args.share
    try:
        import MOODS.scan  # noqa: F401
    except ImportError as exc:
        print(f"MOODS on both alleles' flanks: skipped, MOODS-python is not importable ({exc})")
        return
    t = time.perf_counter()
    hits = moods_flanks(share, fasta, counts, 1e-4)
    t_moods = (time.perf_counter() - t) * scale_by
    print(f"MOODS scan_dna on both alleles' flanks (one thread): {args.share:,} SNVs in "
          f"{t_moods / scale_by:.1f} s, {hits:,} hits; x{scale_by:.0f}: {t_moods:.0f} s; "
          f"morvane --pvalues reached at {seconds / t_moods:.2f}x its time")


def calibration(args: argparse.Namespace) -> None:
    import morvane
    from morvane import Motif

    rng = np.random.default_rng(2)
    folder = Path(tempfile.mkdtemp(prefix="morvane-calibration-"))
    size = 4 * args.variants
    letters = np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, size)]
    write_fasta(folder / "random.fa", {"r": [letters]})
    genome = str(folder / "random.fa")
    pos = np.sort(rng.choice(np.arange(40, size - 40), args.variants, replace=False))
    ref = letters[pos]
    alt = np.frombuffer(b"ACGT", np.uint8)[(np.searchsorted(np.frombuffer(b"ACGT", np.uint8), ref)
                                            + rng.integers(1, 4, len(pos))) % 4]
    variants = [("r", int(p) + 1, chr(r), chr(a)) for p, r, a in zip(pos, ref, alt)]
    found = random_motifs(rng, [6, 7, 8, 9, 10, 11, 12] * 3 + [8, 10, 12])
    motifs = [Motif.from_counts(c, name=i) for c, i in zip(found.counts, found.ids)]
    t = time.perf_counter()
    rows = morvane.variants(genome, variants, motifs, pvalue=1.0, threads=args.threads)
    print(f"calibration: {len(variants):,} random SNVs on {size:,} random bases x {len(motifs)} random motifs "
          f"(widths 6-12), {len(rows):,} allele pairs x motifs, {time.perf_counter() - t:.1f} s")
    p, q = rows["change_pvalue"], rows["change_sampled"]
    print(f"{'nominal a':>10} {'P(change_pvalue <= a)':>22} {'ratio':>7} {'P(change_sampled <= a)':>23} {'ratio':>7}")
    for a in (0.5, 0.2, 0.1, 0.05, 0.01, 1e-3):
        share_p, share_q = float((p <= a).mean()), float((q <= a).mean())
        print(f"{a:>10g} {share_p:>22.3g} {share_p / a:>7.3f} {share_q:>23.3g} {share_q / a:>7.3f}")
    # the null's cost, alone: one motif's contexts scored and their p-values, per motif
    from morvane.variants import CHANGE_SAMPLES, change_null
    t = time.perf_counter()
    for motif in motifs:
        change_null(motif, CHANGE_SAMPLES)
    print(f"change_sampled's null ({CHANGE_SAMPLES} contexts x 4 bases): "
          f"{(time.perf_counter() - t) / len(motifs) * 1e3:.1f} ms per motif (widths 6-12)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--variants", type=int)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--mbp", type=int, default=100, help="genome size (scale)")
    parser.add_argument("--share", type=int, default=20_000, help="variants of the scaled rows")
    parser.add_argument("--calibration", action="store_true")
    args = parser.parse_args()
    if args.calibration:
        args.variants = args.variants or 20_000
        calibration(args)
    else:
        args.variants = args.variants or 1_000_000
        scale(args)


if __name__ == "__main__":
    main()
