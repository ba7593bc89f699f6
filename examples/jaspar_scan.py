"""Scan a genome with a JASPAR motif, on both strands.

Loads a count matrix from the JASPAR database that the `pyjaspar` package
ships (no network access needed), scans both strands of every sequence of a
FASTA file (the bundled lambda phage genome by default) with it, against the
base composition of the genome itself, and prints the best hits.

    pip install "morvane[jaspar]"
    python examples/jaspar_scan.py                 # CTCF, MA0139.1
    python examples/jaspar_scan.py MA0106.3 --hits 5 --pvalue 1e-3

pyjaspar's motifs are Biopython motifs; `Motif.from_biopython` turns the
counts (rows A, C, G, T) into a PWM in morvane's code order (A, T, C, G).
A count matrix gives no pairs of positions, so there is no DWM here.
"""

import argparse
from pathlib import Path

import numpy as np
from pyjaspar import jaspardb

import morvane
from morvane import Motif

FASTA = Path(__file__).resolve().parent.parent / "data" / "lambda_virus.fa"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("matrix_id", nargs="?", default="MA0139.1",
                        help="JASPAR matrix ID (default MA0139.1, CTCF)")
    parser.add_argument("--release", default=None,
                        help="JASPAR release, such as JASPAR2024 (default: the newest bundled)")
    parser.add_argument("--fasta", type=Path, default=FASTA,
                        help="FASTA file to scan (default: the bundled lambda phage genome)")
    parser.add_argument("--pvalue", type=float, default=1e-4, help="p-value cut-off (default 1e-4)")
    parser.add_argument("--hits", type=int, default=10, help="number of hits to print (default 10)")
    args = parser.parse_args()

    jdb = jaspardb(release=args.release) if args.release else jaspardb()
    record = jdb.fetch_motif_by_id(args.matrix_id)
    if record is None:
        parser.error(f"no motif {args.matrix_id} in {jdb.release}")
    motif = Motif.from_biopython(record)
    hits = morvane.scan(args.fasta, motif, pvalue=args.pvalue, background="genome")

    print(f"{record.matrix_id} {motif.name} ({jdb.release}): width {motif.width}, "
          f"consensus {record.consensus}; best possible score "
          f"{motif.pwm.pssm[:4].max(axis=0).sum():.2f}")
    print(f"{len(hits)} hits at p < {args.pvalue:g} on both strands of {args.fasta.name}\n")
    print(f"{'chrom':<28} {'start':>9} {'end':>9} strand {'score':>7} {'p-value':>9}  site")
    for hit in hits[np.argsort(-hits["score"], kind="stable")[:args.hits]]:
        print(f"{hit['chrom']:<28} {hit['start']:>9} {hit['end']:>9} {hit['strand']:^6} "
              f"{hit['score']:7.2f} {hit['pvalue']:9.2e}  {hit['sequence']}")


if __name__ == "__main__":
    main()
