"""Regenerate lambda_cI.jaspar from sites.txt.

Counts, column by column, how many of the aligned operator sites in
sites.txt carry A, C, G and T, and writes the count matrix in the JASPAR
format (a ">ID name" header, then the rows A, C, G and T in brackets) with
Biopython's writer.

Run with:  python data/make_motif.py
"""

from pathlib import Path

from Bio import motifs

HERE = Path(__file__).resolve().parent


def main():
    sites = (HERE / "sites.txt").read_text().split()
    motif = motifs.create(sites)
    motif.matrix_id = "lambda_cI"
    motif.name = "cI"
    text = motifs.write([motif], "jaspar")
    (HERE / "lambda_cI.jaspar").write_text(text)
    print(f"{len(sites)} sites of width {motif.length}")


if __name__ == "__main__":
    main()
