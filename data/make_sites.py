"""Regenerate sites.txt from lambda_virus.fa.

Sites are the 17-bp windows of the lambda genome, on either strand, that lie
within MAX_MISMATCHES of the left operator OL1 (TATCACCGCCAGTGGTA), the
binding site of the phage repressor cI.  The operators are near-palindromic
and bound by a dimer, so every selected location contributes both of its
strands.  Sites are written one per line, ordered by genome position, forward
strand before reverse strand.

Run with:  python data/make_sites.py
"""

from pathlib import Path

import pysam

HERE = Path(__file__).resolve().parent
SEED = "TATCACCGCCAGTGGTA"
MAX_MISMATCHES = 5


def revcomp(text):
    return text[::-1].translate(str.maketrans("ACGTacgt", "TGCAtgca"))


def main():
    with pysam.FastaFile(str(HERE / "lambda_virus.fa")) as fasta:
        genome = fasta.fetch(fasta.references[0]).upper()
    width = len(SEED)
    starts = set()
    for start in range(len(genome) - width + 1):
        window = genome[start:start + width]
        for strand_text in (window, revcomp(window)):
            if sum(a != b for a, b in zip(SEED, strand_text)) <= MAX_MISMATCHES:
                starts.add(start)
    lines = []
    for start in sorted(starts):
        window = genome[start:start + width]
        lines += [window, revcomp(window)]
    (HERE / "sites.txt").write_text("\n".join(lines) + "\n")
    print(f"{len(lines)} sites from {len(starts)} locations")


if __name__ == "__main__":
    main()
