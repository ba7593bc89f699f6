"""Hits of morvane and of FIMO (pymemesuite) from one MEME file, compared.

    python benchmarks/motif_agreement.py [--jaspar FILE] [--genome FASTA] [--mbp 3] [--motifs 20]

The JASPAR count matrices are written as a MEME file of letter-probability matrices with their
nsites (as jaspar2meme writes them): the three CTCF matrices, the rest half of at most 30 sites,
half of more. Both tools read that file, both use the background FIMO's reader spreads its
pseudo-count by (pymemesuite's: the non-redundant database's), both scan both strands of the first
`--mbp` Mbp of the genome at p = 1e-4 (morvane: p <= 1e-4, exact; FIMO: p < 1e-4 from its matrix
rounded to 1/scale bits). For every hit found by one tool alone, the script asks whether FIMO's
rounding decides: whether the window's exact p-value under FIMO's rounded matrix lies on the other
side of 1e-4 than under the real-valued one. Standalone: needs morvane, pymemesuite and pysam.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import pysam

import morvane

P = 1e-4
CODES = [0, 3, 1, 2]          # rows A, C, G, T -> morvane's A, T, C, G


def jaspar_counts(path):
    """(id, name, counts (4, L)) of every matrix of a JASPAR file."""
    out, header, rows = [], None, []
    for line in open(path):
        line = line.strip()
        if line.startswith(">"):
            header, rows = line[1:].split(None, 1), []
        elif line:
            rows.append([float(v) for v in line.split("[")[1].rstrip("]").split()])
            if len(rows) == 4:
                out.append((header[0], header[1] if len(header) > 1 else header[0], np.array(rows)))
    return out


def pick(matrices, n):
    """The CTCF matrices, then low- and high-site matrices taken evenly through the file."""
    ctcf = [m for m in matrices if m[1].upper() == "CTCF"]
    rest = [m for m in matrices if m not in ctcf]
    low = [m for m in rest if m[2].sum(axis=0).max() <= 30]
    high = [m for m in rest if m[2].sum(axis=0).max() > 30]
    k = (n - len(ctcf)) // 2
    return ctcf + low[:: max(1, len(low) // k)][:k] + high[:: max(1, len(high) // (n - len(ctcf) - k))][:n - len(ctcf) - k]


def write_meme(matrices, path):
    with open(path, "w") as out:
        out.write("MEME version 4\n\nALPHABET= ACGT\n\nstrands: + -\n\n"
                  "Background letter frequencies\nA 0.25 C 0.25 G 0.25 T 0.25\n\n")
        for id, name, counts in matrices:
            nsites = int(round(counts.sum(axis=0).max()))
            out.write(f"MOTIF {id} {name}\nletter-probability matrix: alength= 4 w= {counts.shape[1]} "
                      f"nsites= {nsites} E= 0\n")
            for column in (counts / counts.sum(axis=0)).T:
                out.write(" ".join(f"{v:.6f}" for v in column) + "\n")
            out.write("\n")


def genome_slice(fasta, mbp, path):
    """The first `mbp` Mbp of the genome, upper case, as an indexed FASTA; [(name, text)]."""
    left, records = int(mbp * 1e6), []
    with pysam.FastaFile(fasta) as reader:
        for name, length in zip(reader.references, reader.lengths):
            if left <= 0:
                break
            records.append((name, reader.fetch(name, 0, min(length, left)).upper()))
            left -= len(records[-1][1])
    with open(path, "w") as out:
        for name, text in records:
            out.write(f">{name}\n")
            out.writelines(text[i:i + 60] + "\n" for i in range(0, len(text), 60))
    pysam.faidx(path)
    return records


def fimo_hits(meme, records):
    from pymemesuite.common import MotifFile, Sequence
    from pymemesuite.fimo import FIMO

    motif_file = MotifFile(meme)
    motifs = list(motif_file)
    background = motif_file.background
    sequences = [Sequence(text, name=name.encode()) for name, text in records]
    fimo = FIMO(both_strands=True, threshold=P, max_stored_scores=10_000_000)
    hits, rounded, scales = {}, {}, {}
    t = time.perf_counter()
    for motif in motifs:
        id = motif.accession.decode()
        pssm = motif.build_pssm(background)
        rounded[id] = np.array([list(row) for row in pssm.matrix]).T / pssm.scale + pssm.offset
        scales[id] = pssm.scale
        for element in fimo.score_motif(motif, sequences, background).matched_elements:
            start = min(element.start, element.stop) - 1
            hits[(id, element.source.accession.decode(), start, element.strand)] = element.pvalue
    return motifs, np.array(list(background.frequencies)), hits, rounded, scales, time.perf_counter() - t


def compare_pssms(ours, theirs, bg, rounded, scales):
    """Our PSSM against FIMO's before its rounding (log2 of its probabilities over the background)
    and after it (its scaled integer matrix)."""
    real, coarse = 0.0, 0.0
    for motif, fimo in zip(ours, theirs):
        freqs = np.array([list(row) for row in fimo.frequencies]).T
        real = max(real, float(np.abs(motif.pwm.pssm[:4] - np.log2(freqs / bg[:, None])[CODES]).max()))
        coarse = max(coarse, float(np.abs(motif.pwm.pssm[:4] - rounded[motif.id][CODES]).max()))
    steps = list(scales.values())
    print(f"PSSM: largest difference from FIMO's real-valued matrix {real:.3g} bits; from its rounded "
          f"matrix {coarse:.4f} bits (its scale {min(steps):g} to {max(steps):g} steps per bit)")


def keys(table):
    return {(h["motif"], h["chrom"], int(h["start"]), h["strand"]) for h in table}


def of(hits, id):
    return {k for k in hits if k[0] == id}


def jaccard(a, b):
    """|a & b| / |a | b|, None when both are empty."""
    return len(a & b) / len(a | b) if a or b else None


def why(motif, weights, text, key, fimo):
    """"rounding" when FIMO's rounded matrix puts the window on the other side of P, "cut-off" for
    a window of p <= P under morvane's score threshold, else "other"."""
    _, chrom, start, strand = key
    window = text[chrom][start:start + motif.width]
    if strand == "-":
        window = window[::-1].translate(str.maketrans("ACGT", "TGCA"))
    codes = morvane.utils.sequences.nuc_to_num(window)
    score = motif.pwm.score_sequence(codes)[motif.width // 2]
    exact = motif.pvalue(score)
    coarse = weights.pvalue(weights.pwm.score_sequence(codes)[motif.width // 2])
    if (exact <= P) != (coarse < P):
        return "rounding"
    if key in fimo and exact <= P and score < motif.threshold(P):
        return "cut-off"
    if os.environ.get("AGREEMENT_DETAIL"):
        print(f"  {key} {window} morvane p {exact:.6g}, rounded matrix p {coarse:.6g}, "
              f"FIMO p {fimo.get(key, float('nan')):.6g}", file=sys.stderr)
    return "other"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jaspar", default="/tmp/ref/jaspar_all.jaspar")
    parser.add_argument("--genome", default="/tmp/ref/scan21.fa")
    parser.add_argument("--mbp", type=float, default=3.0)
    parser.add_argument("--motifs", type=int, default=20)
    args = parser.parse_args()
    try:
        import pymemesuite  # noqa: F401
    except ImportError as exc:
        sys.exit(f"motif_agreement: pymemesuite is needed ({exc})")

    with tempfile.TemporaryDirectory() as tmp:
        chosen = pick(jaspar_counts(args.jaspar), args.motifs)
        names = {id: name for id, name, _ in chosen}
        meme, fasta = os.path.join(tmp, "motifs.meme"), os.path.join(tmp, "genome.fa")
        write_meme(chosen, meme)
        records = genome_slice(args.genome, args.mbp, fasta)
        text = dict(records)
        fimo_motifs, bg, theirs, rounded, scales, fimo_time = fimo_hits(meme, records)
        motifs = morvane.read_motifs(meme, background=bg)
        compare_pssms(motifs, fimo_motifs, bg, rounded, scales)
        for motif in motifs:
            motif.name = motif.id      # three matrices are named CTCF: the table tells them apart by id
        t = time.perf_counter()
        ours = keys(morvane.scan(fasta, motifs, pvalue=P, progress=False))
        ours_time = time.perf_counter() - t
        # As read before probabilities were kept: counts round(f x nsites), one pseudo-count per base.
        before = keys(morvane.scan(fasta, [morvane.Motif.from_counts(np.round(m.matrix * m.nsites), name=m.id,
                                                                     background=bg) for m in motifs],
                                   pvalue=P, progress=False))

        print(f"{len(chosen)} motifs ({sum(m.nsites <= 30 for m in motifs)} of <= 30 sites), "
              f"{sum(len(t) for _, t in records) / 1e6:.1f} Mbp, both strands, p = {P:g}; "
              f"background {np.round(bg, 4).tolist()}")
        print(f"morvane {ours_time:.1f} s, FIMO (pymemesuite) {fimo_time:.1f} s")
        print(f"{'motif':<10} {'name':<12} {'sites':>5} {'morvane':>8} {'FIMO':>8} {'both':>8} {'overlap':>8} "
              f"{'rounding':>8} {'cut-off':>8} {'other':>8} {'before':>8}")
        causes = {"rounding": 0, "cut-off": 0, "other": 0}
        now_few, before_few = [], []
        for motif in motifs:
            a, b = of(ours, motif.id), of(theirs, motif.id)
            weights = morvane.Motif.from_weights(rounded[motif.id], background=bg)
            found = [why(motif, weights, text, key, theirs) for key in a ^ b]
            for cause in causes:
                causes[cause] += found.count(cause)
            now, then = jaccard(a, b), jaccard(of(before, motif.id), b)
            if motif.nsites <= 30 and now is not None:
                now_few.append(now)
                before_few.append(then)
            print(f"{motif.id:<10} {names[motif.id][:12]:<12} {motif.nsites:>5.0f} {len(a):>8} {len(b):>8} "
                  f"{len(a & b):>8} {now if now is not None else float('nan'):>8.4f} "
                  + " ".join(f"{found.count(c):>8}" for c in causes)
                  + f" {then if then is not None else float('nan'):>8.4f}")
        fimo = set(theirs)
        print(f"all: morvane {len(ours)}, FIMO {len(fimo)}, both {len(ours & fimo)}, overlap "
              f"{jaccard(ours, fimo):.4f} (before: {jaccard(before, fimo):.4f}); of the {len(ours ^ fimo)} "
              f"hits found by one tool alone, FIMO's rounding decides {causes['rounding']}, {causes['cut-off']} are "
              f"windows of p <= {P:g} below morvane's score threshold, {causes['other']} other")
        print(f"motifs of <= 30 sites with hits: median overlap {np.median(now_few):.4f} now, "
              f"{np.median(before_few):.4f} before (counts round(f x nsites), + 1 per base)")


if __name__ == "__main__":
    main()
