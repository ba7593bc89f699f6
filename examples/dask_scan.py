"""Scan a genome on a Dask cluster of worker processes.

Scans every sequence of a FASTA file (the bundled lambda phage genome by
default) for the bundled lambda repressor motif on a dask.distributed
LocalCluster of two single-threaded worker processes, in chunks of
--chunk-size bases, then scans serially in this process and checks that both
give exactly the same hits in the same order. It exits with status 1 if
anything differs.

    pip install "morvane[dask]"
    python examples/dask_scan.py
    python examples/dask_scan.py --chunk-size 2000 --pvalue 1e-3

`morvane.scan(..., client=client)` sends each worker the prepared motifs once;
each task opens the FASTA file by path (readers do not pickle), scores its
chunk and returns only the hits.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster

import morvane

DATA = Path(__file__).resolve().parent.parent / "data"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fasta", type=Path, default=DATA / "lambda_virus.fa")
    parser.add_argument("--motifs", type=Path, default=DATA / "lambda_cI.jaspar")
    parser.add_argument("--chunk-size", type=int, default=5_000)
    parser.add_argument("--pvalue", type=float, default=1e-4)
    args = parser.parse_args()

    motifs = morvane.read_motifs(args.motifs)
    options = dict(pvalue=args.pvalue, chunk_size=args.chunk_size)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        spread = morvane.scan(args.fasta, motifs, client=client, **options)
    serial = morvane.scan(args.fasta, motifs, **options)

    same = np.array_equal(spread, serial)
    print(f"{len(spread)} hits on the cluster, {len(serial)} serially: "
          f"{'identical' if same else 'DIFFERENT'}")
    for hit in spread[np.argsort(-spread["score"], kind="stable")[:5]]:
        print(f"  {hit['chrom']}:{hit['start']}-{hit['end']} {hit['strand']} "
              f"{hit['score']:.2f} {hit['sequence']}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
