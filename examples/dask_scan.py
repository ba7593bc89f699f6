"""Count and scan a genome on a Dask cluster of worker processes.

Splits every sequence of an indexed FASTA file (the bundled lambda phage genome
by default) into regions and runs both halves of a genome scan on a
dask.distributed LocalCluster of two single-threaded worker processes:

1. counting: each task counts the background windows of one region into a
   fresh PWM and a fresh DWM; the client merges the returned matrices with
   add_counts, counts the operator sites of data/sites.txt, and prepares them;
2. scoring: each task reads one region (plus width - 1 bases, so that windows
   straddling two regions are whole) and scores both strands with both
   matrices.

Then it does the same work serially in this process and checks that the two
give exactly the same counts, matrices and scores, NaN for NaN, and prints the
best hits. It exits with status 1 if anything differs.

    pip install "morvane[dask]"
    python examples/dask_scan.py
    python examples/dask_scan.py --region-size 2000

Matrices and GenomicSequence objects are ordinary picklable Python objects and
the module's functions pickle by reference, so they travel to the workers and
back like any other data. A pysam.FastaFile cannot be pickled: each task opens
the file by path on its worker.
"""

import argparse
import os
import sys
import time
from collections import namedtuple
from pathlib import Path

import numpy as np
import pysam
from dask.distributed import Client, LocalCluster

from morvane.utils.sequences import GenomicSequence, SequenceMatrix, nuc_to_num

DATA = Path(__file__).resolve().parent.parent / "data"
FASTA = DATA / "lambda_virus.fa"
SITES = DATA / "sites.txt"
KINDS = ("PWM", "DWM")

Region = namedtuple("Region", "chrom start end")


def regions_of(path, size):
    with pysam.FastaFile(str(path)) as fasta:
        return [Region(chrom, start, min(start + size, length))
                for chrom, length in zip(fasta.references, fasta.lengths)
                for start in range(0, length, size)]


def count_background(path, region, width):
    """A PWM and a DWM holding the background windows of one region."""
    matrices = {kind: SequenceMatrix.create(width, kind) for kind in KINDS}
    with pysam.FastaFile(str(path)) as fasta:
        g = GenomicSequence(region).from_fasta(fasta)
    for strand in (g.sequence, g.revcomp):
        for i in range(0, g.length - width + 1, width):
            window = strand[i:i + width]
            if window.max() < 4:
                for matrix in matrices.values():
                    matrix.add_background(window)
    return matrices


def merged(parts, sites, width):
    """Prepared matrices: the sites plus every region's background counts."""
    matrices = {}
    for kind in KINDS:
        matrix = SequenceMatrix.create(width, kind)
        for site in sites:
            matrix.add_sequence(nuc_to_num(site))
        for part in parts:
            matrix.add_counts(part[kind])
        matrix.prepare_mat()
        matrices[kind] = matrix
    return matrices


def score_region(path, region, matrices):
    """Scores of both strands of a region, read width - 1 bases past its end."""
    width = matrices["PWM"].pssm.shape[1]
    with pysam.FastaFile(str(path)) as fasta:
        end = min(region.end + width - 1, fasta.get_reference_length(region.chrom))
        g = GenomicSequence(Region(region.chrom, region.start, end)).from_fasta(fasta)
    return {(kind, strand): matrix.score_sequence(codes)
            for kind, matrix in matrices.items()
            for strand, codes in (("+", g.sequence), ("-", g.revcomp))}


def run_serial(path, regions, sites, width):
    parts = [count_background(path, region, width) for region in regions]
    matrices = merged(parts, sites, width)
    return matrices, [score_region(path, region, matrices) for region in regions]


def run_distributed(client, path, regions, sites, width):
    futures = client.map(count_background, [path] * len(regions), regions,
                         [width] * len(regions), pure=False)
    matrices = merged(client.gather(futures), sites, width)
    shared = client.scatter(matrices, broadcast=True)
    futures = client.map(score_region, [path] * len(regions), regions,
                         [shared] * len(regions), pure=False)
    return matrices, client.gather(futures)


ATTRIBUTES = ("counts", "bg_counts", "neg_counts", "no_bias", "no_bg", "pssm")


def differences(serial, distributed):
    """Descriptions of everything that is not identical in the two results."""
    (m1, s1), (m2, s2) = serial, distributed
    found = []
    for kind in KINDS:
        names = ATTRIBUTES + (("bias_dwm_log", "bg_dwm_log") if kind == "DWM" else ())
        for name in names:
            if not np.array_equal(getattr(m1[kind], name), getattr(m2[kind], name)):
                found.append(f"{kind}.{name}")
    for i, (a, b) in enumerate(zip(s1, s2)):
        for key in a:
            if not np.array_equal(a[key], b[key], equal_nan=True):
                found.append(f"scores of region {i}, {key[0]} {key[1]}")
    if len(s1) != len(s2):
        found.append("number of regions")
    return found


def best_hits(regions, scores, width, count):
    """(PWM score, DWM score, chrom, first base, strand) of the best PWM windows."""
    half = width // 2
    hits = []
    for region, result in zip(regions, scores):
        for strand in "+-":
            pwm, dwm = result[("PWM", strand)], result[("DWM", strand)]
            n = len(pwm)
            for k in np.flatnonzero(~np.isnan(pwm)):
                s = k - half
                first = region.start + s if strand == "+" else region.start + n - width - s
                if first < region.end:        # the next region owns the rest
                    hits.append((float(pwm[k]), float(dwm[k]), region.chrom, int(first), strand))
    hits.sort(reverse=True)
    return hits[:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fasta", type=Path, default=FASTA,
                        help="indexed FASTA file (default: the bundled lambda phage genome)")
    parser.add_argument("--region-size", type=int, default=5_000,
                        help="bases per region, one task each (default 5000)")
    parser.add_argument("--hits", type=int, default=5, help="best hits to print (default 5)")
    args = parser.parse_args()

    sites = SITES.read_text().split()
    width = len(sites[0])
    regions = regions_of(args.fasta, args.region_size)

    t0 = time.perf_counter()
    serial = run_serial(args.fasta, regions, sites, width)
    t1 = time.perf_counter()
    with LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
        workers = client.scheduler_info()["workers"]
        t2 = time.perf_counter()
        distributed = run_distributed(client, args.fasta, regions, sites, width)
        t3 = time.perf_counter()
        pids = sorted(client.run(os.getpid).values())

    print(f"{len(regions)} regions of up to {args.region_size} bp from {args.fasta.name}; "
          f"{len(sites)} sites of width {width}")
    print(f"serial:      {t1 - t0:6.2f} s in process {os.getpid()}")
    print(f"distributed: {t3 - t2:6.2f} s on {len(workers)} worker processes {pids}")
    found = differences(serial, distributed)
    if found:
        print("distributed result differs from serial result in: " + ", ".join(found))
        return 1
    print("distributed result identical to serial result: counts, matrices and "
          f"{sum(len(r) for r in serial[1])} score tracks")
    print(f"\n{'chrom':<28} {'start':>7} strand {'PWM':>7} {'DWM':>7}")
    for pwm, dwm, chrom, first, strand in best_hits(regions, distributed[1], width, args.hits):
        print(f"{chrom:<28} {first:>7} {strand:^6} {pwm:7.2f} {dwm:7.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
