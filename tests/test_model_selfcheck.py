"""Checks of the reference model in tests/model.py against hand-worked values
and independent formulations, so that differential tests can trust it."""

import math
from types import SimpleNamespace

import numpy as np
import pytest

import model


class FakeReader:
    """Stands in for pysam.FastaFile: serves fixed texts by chromosome."""

    def __init__(self, texts):
        self.texts = texts
        self.calls = []
        self.closed = False

    def fetch(self, chrom, start, end):
        self.calls.append((chrom, start, end))
        return self.texts[chrom]

    def close(self):
        self.closed = True


def region(chrom, start, end):
    return SimpleNamespace(chrom=chrom, start=start, end=end)


def codes(*values):
    return np.array(values, dtype=np.int64)


# --- nucleotide coding --------------------------------------------------

def test_nuc_to_num_codes_both_cases():
    for text in ("ACGTN", "acgtn"):
        got = model.nuc_to_num(text)
        assert got.dtype == np.int64
        assert got.tolist() == [0, 2, 3, 1, 4]


def test_nuc_to_num_other_characters_and_code_points():
    assert model.nuc_to_num("RYKM-.*U").tolist() == [4] * 8
    assert model.nuc_to_num("A\u00e4T").tolist() == [0, 4, 1]
    assert model.nuc_to_num("").shape == (0,)


def test_complement_pairs():
    assert list(model.complement.items()) == [(0, 1), (1, 0), (2, 3), (3, 2)]


# --- genomic sequence ---------------------------------------------------

def test_genomic_sequence_forward_and_reverse_complement():
    reader = FakeReader({"chr1": "ACGTN"})
    g = model.GenomicSequence(region("chr1", 100, 105))
    assert g.length == 5 and g.sequence.tolist() == [0] * 5
    seq_obj, rc_obj = g.sequence, g.revcomp
    assert g.from_fasta(reader) is g
    assert reader.calls == [("chr1", 100, 105)]
    assert g.sequence.tolist() == [0, 2, 3, 1, 4]
    assert g.revcomp.tolist() == [4, 0, 2, 3, 1]
    assert g.sequence is seq_obj and g.revcomp is rc_obj


def test_genomic_sequence_lower_case_and_long_text():
    g = model.GenomicSequence(region("c", 0, 3)).from_fasta(
        FakeReader({"c": "gatTTTT"}))
    assert g.sequence.tolist() == [3, 0, 1]
    assert g.revcomp.tolist() == [0, 1, 2]


# --- GC content -----------------------------------------------------------

@pytest.mark.parametrize("texts, regions, expected", [
    ({"a": "GGCA"}, [region("a", 0, 4)], 0.75),
    ({"a": "ggca"}, [region("a", 0, 4)], 0.75),
    ({"a": "GC", "b": "AT"}, [region("a", 0, 2), region("b", 5, 7)], 0.5),
    ({"a": "GGGGGG"}, [region("a", 0, 10)], 0.6),
])
def test_gc_content(texts, regions, expected):
    reader = FakeReader(texts)
    got = model.get_gc_content(iter(regions), "x.fa", opener=lambda p: reader)
    assert type(got) is float and got == expected
    assert reader.closed


def test_gc_content_of_no_region_closes_then_fails():
    reader = FakeReader({})
    with pytest.raises(ZeroDivisionError):
        model.get_gc_content([], "x.fa", opener=lambda p: reader)
    assert reader.closed


def test_gc_content_through_pysam(tmp_path):
    pysam = pytest.importorskip("pysam")
    path = tmp_path / "t.fa"
    path.write_text(">c1\nAACCGGTTNN\n>c2\nggcc\n")
    pysam.faidx(str(path))
    got = model.get_gc_content([region("c1", 0, 10), region("c2", 1, 3)],
                               str(path))
    assert got == 6 / 12


# --- factory and merge ----------------------------------------------------

def test_create_by_type_name():
    assert type(model.SequenceMatrix.create(5, "PWM")) is model.NucleotideMatrix
    assert type(model.SequenceMatrix.create(5, "DWM")) is model.DiNucleotideMatrix
    for bad in ("pwm", None):
        with pytest.raises(SystemExit) as info:
            model.SequenceMatrix.create(5, bad)
        assert info.value.code == f"Unkown score type {bad}"


def test_add_counts_merges_the_five_counters():
    a, b = model.NucleotideMatrix(3), model.NucleotideMatrix(3)
    a.add_sequence(codes(0, 1, 2))
    b.add_sequence(codes(3, 1, 2))
    b.add_background(codes(4, 4, 0), 2.0)
    a.add_counts(b)
    assert a.counts[:4].sum(axis=0).tolist() == [2.0, 2.0, 2.0]
    assert a.counts[1, 1] == 2.0 and a.bg_counts[4, 0] == 2.0
    assert a.no_bias == 2.0 and a.no_bg == 2.0
    assert b.no_bias == 1.0 and b.counts[:4].sum() == 3.0
    a.add_counts(a)
    assert a.no_bias == 4.0 and a.counts[1, 1] == 4.0


# --- mono-nucleotide matrix ------------------------------------------------

def test_pwm_counting():
    pwm = model.NucleotideMatrix(4)
    assert pwm.no_bias == 0 and type(pwm.no_bias) is int
    pwm.add_sequence(codes(0, 1, 2, 3))
    assert np.array_equal(pwm.counts, np.vstack([np.eye(4), np.zeros(4)]))
    assert type(pwm.no_bias) is float and pwm.no_bias == 1.0
    pwm.add_sequence(codes(0, 4, 2, 3))          # refused whole
    pwm.add_sequence(codes(0, 1, 2, 3, 4))       # N beyond the window
    pwm.add_sequence(codes(3, 3, 3, 3), -1.0)
    assert pwm.no_bias == 1.0
    assert pwm.counts[0, 0] == 2.0 and pwm.neg_counts[3].tolist() == [-1.0] * 4
    pwm.add_background(codes(1, 1, 4, 1), 2.5)
    assert pwm.bg_counts[4, 2] == 2.5 and pwm.no_bg == 2.5


def test_pwm_worked_example():
    pwm = model.SequenceMatrix.create(2, "PWM")
    pwm.add_sequence(model.nuc_to_num("AC"))
    pwm.prepare_mat()
    assert pwm.no_bias == 1.0 and pwm.no_bg == 0.0
    assert pwm.bias_pwm[0, 0] == 0.4 and pwm.bias_pwm[2, 1] == 0.4
    assert pwm.bias_pwm[1, 0] == 0.2 and np.all(pwm.bg_pwm == 0.25)
    assert pwm.pssm[0, 0] == np.log2(0.4 / 0.25)
    assert pwm.pssm[0, 0] == pytest.approx(math.log2(1.6), abs=1e-15)
    assert pwm.pssm[3, 1] == pytest.approx(math.log2(0.8), abs=1e-15)
    got = pwm.score_sequence(codes(0, 2, 2))
    assert math.isnan(got[0])
    assert got[1:] == pytest.approx([1.356144, 0.356144], abs=1e-6)
    assert got[1] == pwm.pssm[0, 0] + pwm.pssm[2, 1]


def test_pwm_placement_and_n_windows():
    pwm = model.NucleotideMatrix(4)
    pwm.prepare_mat()
    got = pwm.score_sequence(codes(0, 1, 2, 3, 0, 1))
    assert np.isnan(got[[0, 1, 5]]).all() and got[2:5].tolist() == [0.0] * 3
    got = pwm.score_sequence(codes(0, 1, 2, 3, 4, 1, 2, 3, 0, 1))
    # the N at 4 spoils windows 1..4, placed at 3..6
    assert np.isnan(got).tolist() == [True, True, False] + [True] * 4 + [False, False, True]
    assert np.isnan(pwm.score_sequence(codes(0, 1, 2))).all()
    assert pwm.score_sequence(codes()).shape == (0,)


def test_pwm_scores_match_vectorised_log_odds():
    rng = np.random.default_rng(7)
    pwm = model.NucleotideMatrix(6)
    for _ in range(30):
        pwm.add_sequence(rng.integers(0, 4, 6), float(rng.uniform(0.1, 3)))
        pwm.add_background(rng.integers(0, 5, 6))
    pwm.prepare_mat()
    seq = rng.integers(0, 5, 60)
    got = pwm.score_sequence(seq)
    windows = np.lib.stride_tricks.sliding_window_view(seq, 6)
    expected = np.full(60, np.nan)
    sums = pwm.pssm[windows, np.arange(6)].sum(axis=1)
    expected[3:3 + len(windows)] = np.where((windows == 4).any(axis=1), np.nan, sums)
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-12)


# --- dinucleotide matrix ------------------------------------------------------

def test_dwm_constructor_attributes_in_order():
    dwm = model.DiNucleotideMatrix(3)
    assert list(vars(dwm)) == [
        "length", "counts", "neg_counts", "bg_counts", "no_bias", "no_bg",
        "pssm", "bias_pwm", "bg_pwm", "bias_dwm", "bg_dwm"]
    assert dwm.counts.shape == (5, 5, 3, 3) and dwm.neg_counts.shape == (5, 3)


def test_dwm_pair_counting():
    dwm = model.DiNucleotideMatrix(2)
    dwm.add_sequence(codes(0, 3))
    nonzero = {tuple(int(i) for i in ix) for ix in np.argwhere(dwm.counts)}
    assert nonzero == {(0, 0, 0, 0), (0, 3, 0, 1), (3, 0, 1, 0), (3, 3, 1, 1)}
    assert dwm.counts.sum() == 4.0 and dwm.no_bias == 1.0
    dwm.add_sequence(codes(4, 0))
    dwm.add_background(codes(1, 4))
    assert dwm.counts.sum() == 4.0 and dwm.no_bias == 1.0
    assert dwm.no_bg == 0 and not dwm.bg_counts.any()
    dwm.add_background(codes(1, 2, 4), 2.5)
    assert dwm.bg_counts[1, 2, 0, 1] == 2.5 and dwm.no_bg == 2.5


def test_dwm_fresh_preparation():
    dwm = model.DiNucleotideMatrix(3)
    dwm.prepare_mat()
    assert dwm.no_bias == 0.0 and dwm.no_bg == 0.0
    assert np.all(dwm.bias_pwm == 0.25) and np.all(dwm.pssm == 0.0)
    assert np.all(dwm.bias_dwm == 0.0625) and np.all(dwm.bg_dwm == 0.0625)
    assert np.all(dwm.bias_pwm_log == -2.0) and np.all(dwm.bg_dwm_log == -4.0)
    got = dwm.score_sequence(codes(0, 1, 2, 3, 4, 0, 1, 2))
    assert np.isnan(got).tolist() == [True, False, False] + [True] * 3 + [False, True]
    assert got[[1, 2, 6]].tolist() == [0.0, 0.0, 0.0]


def test_dwm_worked_example_preparation():
    dwm = model.DiNucleotideMatrix(2)
    kept = dwm.bias_dwm
    dwm.add_sequence(codes(0, 3))
    dwm.no_bias = 123.0                           # recomputed from the counts
    dwm.prepare_mat()
    assert dwm.bias_dwm is kept
    assert dwm.no_bias == 1.0
    assert dwm.bias_pwm[:, 0].tolist() == [0.4, 0.2, 0.2, 0.2, 0.2]
    assert dwm.bias_pwm[:, 1].tolist() == [0.2, 0.2, 0.2, 0.4, 0.2]
    for ix in [(0, 3, 0, 1), (0, 0, 0, 0)]:
        assert dwm.bias_dwm[ix] == pytest.approx(3.56 / 17, rel=1e-15)
    for ix in [(1, 2, 0, 1), (0, 3, 1, 0), (4, 4, 0, 1)]:
        assert dwm.bias_dwm[ix] == pytest.approx(0.64 / 17, rel=1e-15)
    # for every pair of positions the 16 base pairs sum to 1
    np.testing.assert_allclose(dwm.bias_dwm[:4, :4].sum(axis=(0, 1)), 1.0,
                               rtol=1e-14)


def test_dwm_worked_example_scores():
    dwm = model.SequenceMatrix.create(2, "DWM")
    dwm.add_sequence(model.nuc_to_num("AG"))
    dwm.prepare_mat()
    got = dwm.score_sequence(codes(0, 3, 0, 3, 4, 1, 2))
    nan = np.isnan(got)
    assert nan.tolist() == [True, False, False, False, True, True, False]
    np.testing.assert_allclose(
        got[~nan], [1.8887039, -0.6438562, 1.8887039, -0.6438562], atol=5e-8)
    top = 4 + 2 * math.log2(3.56 / 7.4)
    low = 4 + 2 * math.log2(0.2)
    np.testing.assert_allclose(got[~nan], [top, low, top, low], rtol=1e-13)
    assert got[2] == got[6]                      # (3, 0) scores like (1, 2)


def test_dwm_heavy_weight_example():
    dwm = model.DiNucleotideMatrix(2)
    for _ in range(20):
        dwm.add_sequence(codes(0, 3))
    dwm.prepare_mat()
    assert dwm.bias_pwm[0, 0] == 0.875
    assert dwm.bias_pwm[1, 0] == 1 / 24
    assert dwm.bias_dwm[0, 3, 0, 1] == 0.8828125


@pytest.mark.parametrize("weight, divisor", [(16.0, 32.0), (16.5, 33.0), (3.0, 19.0)])
def test_dwm_pseudo_weight_threshold(weight, divisor):
    dwm = model.DiNucleotideMatrix(2)
    dwm.add_sequence(codes(1, 2), weight)
    dwm.prepare_mat()
    pseudo = max(weight, 16.0)
    p4 = 1 / (weight + 4)
    assert dwm.bias_dwm[4, 4, 0, 1] == pytest.approx(pseudo * p4 * p4 / divisor,
                                                    rel=1e-14)
    p_hit = (weight + 1) / (weight + 4)
    assert dwm.bias_dwm[1, 2, 0, 1] == pytest.approx(
        (weight + pseudo * p_hit * p_hit) / divisor, rel=1e-14)


def test_dwm_width_one_uses_position_probabilities_only():
    dwm = model.DiNucleotideMatrix(1)
    for c, w in [(0, 3.0), (2, 1.0)]:
        dwm.add_sequence(codes(c), w)
        dwm.add_background(codes((c + 1) % 4), w)
    dwm.prepare_mat()
    got = dwm.score_sequence(codes(0, 1, 2, 3, 4))

    def part(log_pwm, c):
        return log_pwm[c, 0] - math.log2(sum(2.0 ** log_pwm[a, 0] for a in range(4)))

    expected = [part(dwm.bias_pwm_log, c) - part(dwm.bg_pwm_log, c) for c in range(4)]
    np.testing.assert_allclose(got[:4], expected, rtol=0, atol=1e-13)
    assert math.isnan(got[4])


def test_dwm_scores_match_conditional_probabilities():
    # Direct form: P(x at m | rest) proportional to
    # P(x at m) * prod over n != m of P(S_n at n, x at m) / P(x at m).
    rng = np.random.default_rng(11)
    L = 4
    dwm = model.DiNucleotideMatrix(L)
    for _ in range(25):
        dwm.add_sequence(rng.integers(0, 4, L), float(rng.uniform(0.5, 2)))
        dwm.add_background(rng.integers(0, 4, L))
    dwm.prepare_mat()

    def log_cond(pwm, dwm_, w, m):
        def weight(x):
            p = pwm[x, m]
            for n in range(L):
                if n != m:
                    p *= dwm_[w[n], x, n, m] / pwm[x, m]
            return p
        return math.log2(weight(w[m]) / sum(weight(x) for x in range(4)))

    seq = rng.integers(0, 4, 30)
    got = dwm.score_sequence(seq)
    for i in range(30 - L + 1):
        w = seq[i:i + L]
        expected = sum(log_cond(dwm.bias_pwm, dwm.bias_dwm, w, m)
                       - log_cond(dwm.bg_pwm, dwm.bg_dwm, w, m) for m in range(L))
        assert got[i + 2] == pytest.approx(expected, rel=1e-10, abs=1e-10)
    assert np.isnan(got[[0, 1, 29]]).all()


def test_dwm_counts_stay_symmetric_and_merge():
    rng = np.random.default_rng(3)
    a, b = model.DiNucleotideMatrix(3), model.DiNucleotideMatrix(3)
    for _ in range(10):
        a.add_sequence(rng.integers(0, 4, 3))
        b.add_sequence(rng.integers(0, 4, 3), 0.5)
    a.add_counts(b)
    assert a.no_bias == 15.0
    np.testing.assert_array_equal(a.counts, a.counts.transpose(1, 0, 3, 2))
