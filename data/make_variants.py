"""Regenerate lambda_variants.vcf: synthetic variants on lambda_virus.fa that destroy and create
sites of the cI operator motif (lambda_cI.jaspar).

- OL1_G8T: G to T at OL1's eighth base (1-based 35598): OL1 is strong enough to stay a site.
- OL1_multi: the same base to C or A, one record with two ALTs.
- OL1_mnv: OL1's bases 6 to 9 (CCGC) replaced by AAAA, written after an anchor base.
- OR1_del3: three of OR1's central bases deleted.
- new_site_snv: the one base change, anywhere in the genome, that makes a site (p <= 1e-5) where
  none was (p > 1e-4) with the largest rise (found by trying every base change in every window
  scoring p < 1e-3).
- new_site_ins: OL1's 17 bases inserted at 1-based 20000, where no site is.

Run with:  python data/make_variants.py   (needs morvane installed)
"""

from pathlib import Path

import pysam

import morvane

HERE = Path(__file__).resolve().parent
OL1 = "TATCACCGCCAGTGGTA"


def gain_snv(genome, chrom, seq, motif):
    """(pos 1-based, ref, alt) of the base change making the site whose p-value rises the most, from
    a REF allele with no site at p <= 1e-4: every change in every window scoring p < 1e-3 is tried."""
    loose = morvane.scan(genome, [motif], pvalue=1e-3)
    tried = {(chrom, pos + 1, seq[pos], base) for hit in loose for pos in range(hit["start"], hit["end"])
             for base in "ACGT" if base != seq[pos]}
    rows = morvane.variants(genome, sorted(tried), [motif], pvalue=1e-5)
    gains = rows[(rows["call"] == "gain") & (rows["ref_pvalue"] > 1e-4)]
    best = gains[gains["log10_ratio"].argmax()]
    return int(best["pos"]), str(best["ref"]), str(best["alt"])


def main():
    genome = str(HERE / "lambda_virus.fa")
    with pysam.FastaFile(genome) as fasta:
        chrom = fasta.references[0]
        seq = fasta.fetch(chrom).upper()
    motif = morvane.read_motifs(HERE / "lambda_cI.jaspar")[0]
    ol1 = seq.index(OL1)
    or1 = 37997
    snv = gain_snv(genome, chrom, seq, motif)
    records = [
        (ol1 + 8, "OL1_G8T", seq[ol1 + 7], "T"),
        (ol1 + 8, "OL1_multi", seq[ol1 + 7], "C,A"),
        (ol1 + 5, "OL1_mnv", seq[ol1 + 4:ol1 + 9], seq[ol1 + 4] + "AAAA"),
        (or1 + 7, "OR1_del3", seq[or1 + 6:or1 + 10], seq[or1 + 6]),
        (snv[0], "new_site_snv", snv[1], snv[2]),
        (20000, "new_site_ins", seq[19999], seq[19999] + OL1),
    ]
    lines = ["##fileformat=VCFv4.2", f"##contig=<ID={chrom},length={len(seq)}>",
             "##source=data/make_variants.py (synthetic variants that destroy and create cI operator sites)",
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"]
    for pos, name, ref, alt in sorted(records):
        lines.append(f"{chrom}\t{pos}\t{name}\t{ref}\t{alt}\t.\t.\t.")
    (HERE / "lambda_variants.vcf").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
