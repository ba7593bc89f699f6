"""Picklable helpers for tests that hand work to other processes.

A worker process started with "spawn" or "forkserver" unpickles its arguments
by importing the modules they name; objects defined here (rather than inside a
test module) import cheaply and without pytest.
"""
from collections import namedtuple

import numpy as np

Region = namedtuple("Region", "chrom start end")


def score_region(fasta_path, region, matrix):
    """Codes ``region`` of an indexed FASTA file on both strands and scores them."""
    import pysam

    from morvane.utils import sequences

    with pysam.FastaFile(fasta_path) as reader:
        g = sequences.GenomicSequence(region).from_fasta(reader)
    return g.sequence, g.revcomp, matrix.score_sequence(g.sequence), matrix.score_sequence(g.revcomp)


def score_genomic(genomic, matrix):
    """Scores both strands of an already filled GenomicSequence."""
    return matrix.score_sequence(genomic.sequence), matrix.score_sequence(genomic.revcomp)


def round_trip(obj):
    """Returns ``obj`` as received by the worker, to be pickled back."""
    return obj


def count_and_prepare(kind, length, batches):
    """Builds a matrix from (method, codes, amount) batches and prepares it."""
    from morvane.utils import sequences

    matrix = sequences.SequenceMatrix.create(length, kind)
    for method, codes, amount in batches:
        getattr(matrix, method)(np.asarray(codes, dtype=np.int64), amount)
    matrix.prepare_mat()
    return matrix
