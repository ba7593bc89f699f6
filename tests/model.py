"""Reference model of ``morvane.utils.sequences`` in plain Python.

Every routine here follows the extension's operation order step by step, in
Python float arithmetic (IEEE double), so differential tests can demand exact
equality of every double and of every NaN position.  The whole-array steps
that the extension itself hands to NumPy (``zeros``, ``sum``, ``mean``,
``true_divide``, ``log2``) are done with the same NumPy calls here.

The model is a reference, not a fast implementation, and it only covers valid
input: codes 0 to 4, sequences at least as long as the matrix width, arrays
of the shapes the constructors make, widths of at least 1 for scoring.
"""

import math
import sys

import numpy as np

complement = {0: 1, 1: 0, 2: 3, 3: 2}

# Code of each recognised character; everything else codes as 4 (N).
_CODE = {"A": 0, "a": 0, "T": 1, "t": 1, "C": 2, "c": 2, "G": 3, "g": 3}
# Complement code of each code, 4 being its own complement.
_COMPLEMENT_CODE = (1, 0, 3, 2, 4)


def nuc_to_num(sequence):
    """Code a DNA string, one int64 element per code point."""
    length = len(sequence)
    result = np.zeros(length, dtype=int)
    for i in range(length):
        result[i] = _CODE.get(sequence[i], 4)
    return result


class GenomicSequence:
    def __init__(self, region):
        self.region = region
        self.length = region.end - region.start
        self.sequence = np.zeros(self.length, dtype=int)
        self.revcomp = np.zeros(self.length, dtype=int)

    def from_fasta(self, fasta_obj):
        text = fasta_obj.fetch(self.region.chrom, self.region.start,
                               self.region.end)
        length = int(self.length)
        sequence = self.sequence
        revcomp = self.revcomp
        for i in range(length):
            code = _CODE.get(text[i], 4)
            sequence[i] = code
            revcomp[length - 1 - i] = _COMPLEMENT_CODE[code]
        self.sequence = sequence
        self.revcomp = revcomp
        return self


def get_gc_content(regions, fasta, opener=None):
    """GC fraction of ``regions`` read from ``fasta``.

    ``opener`` stands in for ``pysam.FastaFile`` (called with ``fasta``), so
    tests can hand in a fake reader; by default pysam opens the file.
    """
    if opener is None:
        import pysam
        opener = pysam.FastaFile
    gc = 0
    total = 0
    fasta_obj = opener(fasta)
    for region in regions:
        seq = fasta_obj.fetch(region.chrom, region.start, region.end)
        gc += sum([1 for nuc in seq
                   if nuc == "G" or nuc == "g" or nuc == "C" or nuc == "c"])
        total += region.end - region.start
    fasta_obj.close()
    return gc / float(total)


class SequenceMatrix:
    """ Class-builder """

    @staticmethod
    def create(length, stype):
        if stype == "PWM":
            return NucleotideMatrix(length)
        if stype == "DWM":
            return DiNucleotideMatrix(length)
        sys.exit(f"Unkown score type {stype}")

    def add_counts(self, obj):
        self.counts += obj.counts
        self.bg_counts += obj.bg_counts
        self.neg_counts += obj.neg_counts
        self.no_bias += obj.no_bias
        self.no_bg += obj.no_bg


class NucleotideMatrix(SequenceMatrix):
    def __init__(self, length):
        self.length = length
        self.counts = np.zeros((5, length))
        self.neg_counts = np.zeros((5, length))
        self.bg_counts = np.zeros((5, length))
        self.no_bias = 0
        self.no_bg = 0
        self.pssm = np.zeros((5, length))

    def add_sequence(self, sequence, amount=1.0):
        amount = float(amount)
        L = int(self.length)
        counts = self.counts
        neg_counts = self.neg_counts
        # A bias sequence with an N in its window is refused whole.
        for m in range(L):
            if sequence[m] == 4:
                return None
        if amount > 0:
            for m in range(L):
                counts[sequence[m], m] += amount
        else:
            for m in range(L):
                neg_counts[sequence[m], m] += amount
        self.counts = counts
        self.neg_counts = neg_counts
        self.no_bias += amount
        return None

    def add_background(self, sequence, amount=1.0):
        amount = float(amount)
        L = int(self.length)
        bg_counts = self.bg_counts
        for m in range(L):
            bg_counts[sequence[m], m] += amount
        self.bg_counts = bg_counts
        self.no_bg += amount
        return None

    def prepare_mat(self):
        self.no_bias = np.mean(np.sum(self.counts[:4, :], axis=0))
        self.no_bg = np.mean(np.sum(self.bg_counts[:4, :], axis=0))
        self.bias_pwm = np.true_divide(self.counts + 1, self.no_bias + 4)
        self.bg_pwm = np.true_divide(self.bg_counts + 1, self.no_bg + 4)
        self.pssm = np.log2(np.true_divide(self.bias_pwm, self.bg_pwm))

    def score_sequence(self, sequence):
        pssm = self.pssm.tolist()
        codes = [int(c) for c in sequence]
        n = len(sequence)
        L = self.pssm.shape[1]
        scores = np.zeros(n)
        scores[:] = np.nan
        F = int(L * 0.5)
        for s in range(n - L + 1):
            total = 0.0
            has_n = False
            # Every term is added, even after an N has been seen.
            for m in range(L):
                c = codes[s + m]
                if c >= 4:
                    has_n = True
                total += pssm[c][m]
            if not has_n:
                scores[s + F] = total
        return scores


class DiNucleotideMatrix(SequenceMatrix):
    """ Dinucleotide matrix """

    def __init__(self, length):
        self.length = length
        self.counts = np.zeros((5, 5, length, length))
        self.neg_counts = np.zeros((5, length))
        self.bg_counts = np.zeros((5, 5, length, length))
        self.no_bias = 0
        self.no_bg = 0
        self.pssm = np.zeros((5, length))
        self.bias_pwm = np.zeros((5, 5, length, length))
        self.bg_pwm = np.zeros((5, 5, length, length))
        self.bias_dwm = np.zeros((5, 5, length, length))
        self.bg_dwm = np.zeros((5, 5, length, length))

    def _count_pairs(self, counts_name, total_name, sequence, amount):
        amount = float(amount)
        counts = getattr(self, counts_name)
        L = int(self.length)
        for m in range(L):
            if sequence[m] == 4:
                return None
        for m in range(L):
            for n in range(L):
                counts[sequence[m], sequence[n], m, n] += amount
        setattr(self, total_name, getattr(self, total_name) + amount)
        setattr(self, counts_name, counts)
        return None

    def add_sequence(self, sequence, amount=1.0):
        return self._count_pairs("counts", "no_bias", sequence, amount)

    def add_background(self, sequence, amount=1.0):
        return self._count_pairs("bg_counts", "no_bg", sequence, amount)

    def prepare_mat(self):
        L = self.length
        # Position weights: every sequence was counted once per first
        # position p, so the pair sums are divided by L.
        bias_cm = np.sum(self.counts, axis=(0, 2)) / float(L)
        self.no_bias = np.mean(np.sum(bias_cm[:4, :], axis=0))
        self.bias_pwm = np.true_divide(bias_cm + 1, self.no_bias + 4)
        bg_cm = np.sum(self.bg_counts, axis=(0, 2)) / float(L)
        self.no_bg = np.mean(np.sum(bg_cm[:4, :], axis=0))
        self.bg_pwm = np.true_divide(bg_cm + 1, self.no_bg + 4)
        self.pssm = np.log2(np.true_divide(self.bias_pwm, self.bg_pwm))
        pseudo_bias = self.no_bias if self.no_bias > 16 else 16
        pseudo_bg = self.no_bg if self.no_bg > 16 else 16
        # Pair probabilities shrunk towards the product of the two position
        # probabilities; the factor of the second position comes first.
        for m in range(L):
            for n in range(L):
                for Sm in range(5):
                    for Sn in range(5):
                        t1 = pseudo_bias * self.bias_pwm[Sn, n]
                        t2 = t1 * self.bias_pwm[Sm, m]
                        self.bias_dwm[Sm, Sn, m, n] = (
                            (self.counts[Sm, Sn, m, n] + t2)
                            / float(self.no_bias + pseudo_bias))
                        t1 = pseudo_bg * self.bg_pwm[Sn, n]
                        t2 = t1 * self.bg_pwm[Sm, m]
                        self.bg_dwm[Sm, Sn, m, n] = (
                            (self.bg_counts[Sm, Sn, m, n] + t2)
                            / float(self.no_bg + pseudo_bg))
        self.bias_pwm_log = np.log2(self.bias_pwm)
        self.bg_pwm_log = np.log2(self.bg_pwm)
        self.bias_dwm_log = np.log2(self.bias_dwm)
        self.bg_dwm_log = np.log2(self.bg_dwm)

    def score_sequence(self, sequence):
        # Nested lists hold exactly the arrays' doubles and index faster.
        bias_PWM = self.bias_pwm_log.tolist()
        bg_PWM = self.bg_pwm_log.tolist()
        bias_DWM = self.bias_dwm_log.tolist()
        bg_DWM = self.bg_dwm_log.tolist()
        L = int(self.length)
        codes = [int(c) for c in sequence]
        reg_len = len(sequence)
        scores = np.zeros(reg_len)
        scores[:] = np.nan
        if reg_len - L + 1 <= 0:
            return scores
        F = int(L * 0.5)
        for i in range(reg_len - L + 1):
            window = codes[i:i + L]
            bias_score_log = 0.0
            bg_score_log = 0.0
            contain_N = False
            for m in range(L):
                if window[m] > 3:
                    contain_N = True
                    continue
                bg_score_log += _cond_log2(bg_PWM, bg_DWM, window, m)
                bias_score_log += _cond_log2(bias_PWM, bias_DWM, window, m)
            if not contain_N:
                scores[i + F] = bias_score_log - bg_score_log
        return scores


def _cond_log2(PWM, DWM, window, m):
    """log2 probability of the code at window position m given the others."""
    L = len(window)
    Sm = window[m]
    Cn = 0.0
    for a in range(4):
        prod_log = 0.0
        for n in range(L):
            if n != m:
                prod_log += DWM[window[n]][a][n][m] - PWM[a][m]
        Cn += math.pow(2.0, prod_log + PWM[a][m])
    cond_log = 0.0
    for n in range(L):
        if n != m:
            cond_log += DWM[window[n]][Sm][n][m] - PWM[Sm][m]
    return (cond_log + PWM[Sm][m]) - math.log2(Cn)
