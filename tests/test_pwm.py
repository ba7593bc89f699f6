"""SequenceMatrix (create, add_counts) and NucleotideMatrix: counting,
preparation and scoring."""
import math
import re
from types import SimpleNamespace

import numpy as np
import pytest

import model
from conftest import assert_same_doubles, assert_unchanged, codes, snapshot, traceback_names
from morvane.utils import sequences as s

NAN = float("nan")


def read_only(a):
    a.flags.writeable = False
    return a


def counted(L, *seqs):
    m = s.NucleotideMatrix(L)
    for seq in seqs:
        m.add_sequence(codes(*seq))
    return m


# ---------------------------------------------------------------- construction and counting

def test_fresh_matrix():
    m = s.NucleotideMatrix(10)
    assert list(vars(m)) == ["length", "counts", "neg_counts", "bg_counts", "no_bias", "no_bg", "pssm"]
    arrays = [m.counts, m.neg_counts, m.bg_counts, m.pssm]
    for a in arrays:
        assert a.shape == (5, 10) and a.dtype == np.float64 and not a.any()
    assert len({id(a) for a in arrays}) == 4
    assert type(m.no_bias) is int and type(m.no_bg) is int and m.no_bias == m.no_bg == 0


@pytest.mark.parametrize("seq, amount, entries, neg_entries, no_bias", [
    ((0, 1, 2, 3), 1.0, [(0, 0), (1, 1), (2, 2), (3, 3)], [], 1.0),
    ((3, 3, 0, 1, 4, 9), 2.5, [(3, 0), (3, 1), (0, 2), (1, 3)], [], 2.5),   # codes from index L on are ignored
    ((2, 0, 0, 1), -1.0, [], [(2, 0), (0, 1), (0, 2), (1, 3)], -1.0),
    ((2, 0, 0, 1), 0.0, [], [(2, 0), (0, 1), (0, 2), (1, 3)], 0.0),
])
def test_add_sequence(seq, amount, entries, neg_entries, no_bias):
    m = s.NucleotideMatrix(4)
    counts, neg = m.counts, m.neg_counts
    m.add_sequence(codes(*seq), amount)
    want, want_neg = np.zeros((5, 4)), np.zeros((5, 4))
    for r, c in entries:
        want[r, c] = amount
    for r, c in neg_entries:
        want_neg[r, c] = amount
    np.testing.assert_array_equal(m.counts, want)
    np.testing.assert_array_equal(m.neg_counts, want_neg)
    assert m.counts is counts and m.neg_counts is neg
    assert type(m.no_bias) is float and m.no_bias == no_bias
    assert not m.bg_counts.any() and m.no_bg == 0


def test_nan_amount_goes_to_neg_counts():
    m = s.NucleotideMatrix(2)
    m.add_sequence(codes(0, 1), NAN)
    assert not m.counts.any()
    assert math.isnan(m.neg_counts[0, 0]) and math.isnan(m.neg_counts[1, 1]) and math.isnan(m.no_bias)


@pytest.mark.parametrize("seq", [(4, 0, 0), (0, 0, 4), (1, 4, 2, 3), (4, 7, 0), (7, 0, 4), (-1, 4, 0)])
def test_bias_sequence_with_n_in_window_is_refused_whole(seq):
    m = s.NucleotideMatrix(3)
    before = snapshot(m)
    assert m.add_sequence(codes(*seq), 2.0) is None
    assert m.add_sequence(codes(*seq), -2.0) is None
    assert_unchanged(m, before)
    m.add_sequence(codes(1, 2, 3, 4, 4))          # N only past the window: counted
    assert m.counts[1, 0] == m.counts[2, 1] == m.counts[3, 2] == 1.0 and m.no_bias == 1.0


def test_add_background_counts_n_in_row_4():
    m = s.NucleotideMatrix(4)
    m.add_background(codes(0, 1, 4, 3), 1.5)
    m.add_background(codes(0, 2, 4, 3, 8), -0.5)
    want = np.zeros((5, 4))
    want[0, 0], want[1, 1], want[2, 1], want[4, 2], want[3, 3] = 1.0, 1.5, -0.5, 1.0, 1.0
    np.testing.assert_array_equal(m.bg_counts, want)
    assert m.no_bg == 1.0 and type(m.no_bg) is float
    assert not m.counts.any() and not m.neg_counts.any() and m.no_bias == 0


def test_length_zero_matrix_only_grows_totals():
    m = s.NucleotideMatrix(0)
    m.add_sequence(codes(), 2.0)
    m.add_sequence(codes(4, 9), 1.0)
    m.add_background(codes(), -3.0)
    assert m.counts.shape == (5, 0) and m.no_bias == 3.0 and m.no_bg == -3.0


# ---------------------------------------------------------------- bad input to the counting methods

@pytest.mark.parametrize("method, seq, attr, value, exc, message", [
    ("add_sequence", (0, 1, 2), None, None, ValueError,
     "sequence has 3 elements; expected at least 4 (the matrix length)"),
    ("add_background", (4,), None, None, ValueError, "sequence has 1 elements; expected at least 4"),
    ("add_sequence", (0, 5, 1, 2), None, None, ValueError,
     "sequence[1] is 5; expected a nucleotide code from 0 to 4"),
    ("add_background", (0, 1, -1, 2), None, None, ValueError,
     "sequence[2] is -1; expected a nucleotide code from 0 to 4"),
    ("add_background", (4, 7, 0, 0), None, None, ValueError, "sequence[1] is 7"),
    ("add_sequence", (0, 1, 2, 3), "counts", None, TypeError,
     "attribute 'counts' is None; expected a numpy.ndarray"),
    ("add_sequence", (0, 1, 2, 3), "neg_counts", None, TypeError, "attribute 'neg_counts' is None"),
    ("add_background", (0, 1, 2, 3), "bg_counts", None, TypeError, "attribute 'bg_counts' is None"),
    ("add_sequence", (0, 1, 2, 3), "counts", np.zeros((4, 4)), ValueError,
     "attribute 'counts' has shape (4, 4); expected at least (5, 4)"),
    ("add_sequence", (0, 1, 2, 3), "neg_counts", np.zeros((5, 3)), ValueError,
     "attribute 'neg_counts' has shape (5, 3); expected at least (5, 4)"),
    ("add_background", (0, 1, 2, 3), "bg_counts", np.zeros((5, 2)), ValueError,
     "attribute 'bg_counts' has shape (5, 2); expected at least (5, 4)"),
    ("add_background", (0, 1, 2, 3), "bg_counts", np.zeros((5, 4), dtype=np.int64), ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    ("add_sequence", (0, 1, 2, 3), "neg_counts", read_only(np.zeros((5, 4))), ValueError, "read-only"),
    ("add_sequence", (0, 1, 2, 3), "length", "4", TypeError, "an integer is required"),
])
def test_counting_refuses_bad_input_before_changing_anything(method, seq, attr, value, exc, message):
    m = s.NucleotideMatrix(4)
    m.add_sequence(codes(0, 0, 1, 1))
    m.add_background(codes(2, 2, 3, 3))
    if attr is not None:
        setattr(m, attr, value)
    before = snapshot(m)
    with pytest.raises(exc, match=re.escape(message)) as excinfo:
        getattr(m, method)(codes(*seq), 2.0)
    assert_unchanged(m, before)
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.NucleotideMatrix." + method


@pytest.mark.parametrize("method", ["add_sequence", "add_background", "score_sequence"])
def test_none_sequence_is_refused(method):
    m = s.NucleotideMatrix(2)
    with pytest.raises(TypeError, match="Argument 'sequence' must not be None"):
        getattr(m, method)(None)


# ---------------------------------------------------------------- add_counts and create

def test_add_counts_merges_into_self_and_leaves_obj():
    a, b = counted(3, (0, 1, 2)), counted(3, (3, 3, 3))
    b.add_background(codes(4, 0, 0), 2.0)
    b.add_sequence(codes(1, 1, 1), -1.0)
    a_counts, b_before = a.counts, snapshot(b)
    assert a.add_counts(b) is None
    assert a.counts is a_counts
    np.testing.assert_array_equal(a.counts[:4].sum(axis=0), [2.0, 2.0, 2.0])
    np.testing.assert_array_equal(a.bg_counts, b.bg_counts)
    np.testing.assert_array_equal(a.neg_counts, b.neg_counts)
    assert a.no_bias == 1.0 and a.no_bg == 2.0           # 1.0 + (1.0 - 1.0), 0 + 2.0
    assert_unchanged(b, b_before)


def test_add_counts_with_itself_doubles():
    m = counted(2, (0, 3), (1, 3))
    m.add_background(codes(2, 2), 1.5)
    m.add_sequence(codes(0, 0), -0.5)
    before = snapshot(m)
    m.add_counts(m)
    for name in ("counts", "bg_counts", "neg_counts", "no_bias", "no_bg"):
        np.testing.assert_array_equal(getattr(m, name), 2 * before[name])


def test_add_counts_keeps_integer_totals():
    a = s.NucleotideMatrix(2)
    a.add_counts(s.NucleotideMatrix(2))
    assert type(a.no_bias) is int and type(a.no_bg) is int and a.no_bias == 0


def test_add_counts_is_not_atomic():
    m = counted(2, (0, 1))
    other = SimpleNamespace(counts=np.ones((5, 2)), bg_counts=np.full((5, 2), 2.0))
    with pytest.raises(AttributeError, match="neg_counts"):
        m.add_counts(other)
    assert m.counts[0, 0] == 2.0 and m.counts[4, 1] == 1.0
    assert (m.bg_counts == 2.0).all()
    assert not m.neg_counts.any() and m.no_bias == 1.0 and m.no_bg == 0


def test_add_counts_merges_dinucleotide_matrices():
    a, b = s.DiNucleotideMatrix(2), s.DiNucleotideMatrix(2)
    a.add_sequence(codes(0, 3))
    b.add_sequence(codes(0, 1), 2.0)
    b.add_background(codes(2, 2))
    b.neg_counts[1, 1] = -4.0
    want = {k: getattr(a, k) + getattr(b, k) for k in ("counts", "bg_counts", "neg_counts")}
    a.add_counts(b)
    for k, v in want.items():
        np.testing.assert_array_equal(getattr(a, k), v)
    assert a.counts[0, 0, 0, 0] == 3.0 and a.no_bias == 3.0 and a.no_bg == 1.0


@pytest.mark.parametrize("cls", [s.SequenceMatrix, s.NucleotideMatrix, s.DiNucleotideMatrix])
def test_create(cls):
    pwm = cls.create(5, "PWM")
    dwm = cls.create(stype="DWM", length=3)
    assert type(pwm) is s.NucleotideMatrix and pwm.length == 5 and pwm.counts.shape == (5, 5)
    assert type(dwm) is s.DiNucleotideMatrix and dwm.counts.shape == (5, 5, 3, 3)
    for stype, message in [("pwm", "Unkown score type pwm"), (None, "Unkown score type None")]:
        with pytest.raises(SystemExit) as excinfo:
            cls.create(5, stype)
        assert excinfo.value.code == message


# ---------------------------------------------------------------- prepare_mat

def test_prepare_fresh_matrix():
    m = s.NucleotideMatrix(3)
    m.prepare_mat()
    assert list(vars(m))[-2:] == ["bias_pwm", "bg_pwm"]
    assert isinstance(m.no_bias, np.float64) and m.no_bias == 0.0 and m.no_bg == 0.0
    for a in (m.bias_pwm, m.bg_pwm):
        np.testing.assert_array_equal(a, np.full((5, 3), 0.25))
    np.testing.assert_array_equal(m.pssm, np.zeros((5, 3)))
    np.testing.assert_array_equal(m.score_sequence(codes(0, 1, 2, 3, 4, 3, 2)), [NAN, 0.0, 0.0, NAN, NAN, NAN, NAN])


def test_prepare_and_score_worked_example():
    m = counted(2, (0, 2))
    m.no_bias = 99.0                                          # replaced by the value derived from counts
    m.prepare_mat()
    assert m.no_bias == 1.0 and m.no_bg == 0.0
    want = np.full((5, 2), 0.2)
    want[0, 0] = want[2, 1] = 0.4
    np.testing.assert_allclose(m.bias_pwm, want, rtol=1e-15)
    np.testing.assert_array_equal(m.bg_pwm, np.full((5, 2), 0.25))
    want_pssm = np.full((5, 2), -0.321928)
    want_pssm[0, 0] = want_pssm[2, 1] = 0.678072
    np.testing.assert_array_equal(m.pssm.round(6), want_pssm)
    np.testing.assert_array_equal(m.score_sequence(codes(0, 2, 2)).round(6), [NAN, 1.356144, 0.356144])


def test_prepare_uses_counts_not_running_totals():
    m = s.NucleotideMatrix(2)
    m.add_sequence(codes(0, 1), 2.0)
    m.add_sequence(codes(3, 3), -1.0)                        # only in neg_counts and no_bias
    m.add_background(codes(0, 4))                            # N column holds no base weight
    m.prepare_mat()
    assert m.no_bias == 2.0 and m.no_bg == 0.5
    assert m.bias_pwm[0, 0] == 3.0 / 6.0 and m.bias_pwm[3, 0] == 1.0 / 6.0
    assert m.bg_pwm[0, 0] == 2.0 / 4.5 and m.bg_pwm[4, 1] == 2.0 / 4.5 and m.bg_pwm[1, 1] == 1.0 / 4.5


def test_prepare_twice_gives_identical_new_objects():
    m = counted(3, (0, 1, 2), (3, 1, 2))
    m.add_background(codes(2, 2, 2))
    m.prepare_mat()
    first = snapshot(m)
    m.prepare_mat()
    assert_unchanged(m, first)
    for name in ("bias_pwm", "bg_pwm", "pssm"):
        assert getattr(m, name) is not first[name]
    m.add_sequence(codes(0, 0, 0))
    m.prepare_mat()
    assert m.no_bias == 3.0 and not np.array_equal(m.pssm, first["pssm"])


class NoAdd(np.ndarray):
    def __add__(self, other):
        raise ArithmeticError("no adding")


def test_prepare_assigns_each_step_before_the_next():
    m = counted(2, (0, 1))
    m.add_background(codes(1, 1))
    m.prepare_mat()
    old = dict(vars(m))
    m.add_sequence(codes(0, 1))
    m.bg_counts = m.bg_counts.view(NoAdd)                    # fails in the step that makes bg_pwm
    with pytest.raises(ArithmeticError, match="no adding"):
        m.prepare_mat()
    assert m.no_bias == 2.0 and m.no_bg == 1.0
    assert m.bias_pwm is not old["bias_pwm"] and m.bias_pwm[0, 0] == 0.5
    assert m.bg_pwm is old["bg_pwm"] and m.pssm is old["pssm"]


# ---------------------------------------------------------------- score_sequence

def scorer(pssm):
    m = s.NucleotideMatrix(pssm.shape[1])
    m.pssm = pssm
    return m


# pssm[c, m] = (c + 1) * 10**m, so a window's sum spells out its codes.
DIGITS = np.array([[(c + 1) * 10.0 ** p for p in range(4)] for c in range(5)])


@pytest.mark.parametrize("seq, want", [
    ((0, 1, 2, 3, 0, 1), [NAN, NAN, 4321.0, 1432.0, 2143.0, NAN]),
    ((0, 1, 2), [NAN] * 3),
    ((), []),
    ((3, 2, 1, 0, 4, 0, 0, 0, 0, 3), [NAN, NAN, 1234.0, NAN, NAN, NAN, NAN, 1111.0, 4111.0, NAN]),
])
def test_score_windows_and_placement(seq, want):
    scores = scorer(DIGITS).score_sequence(codes(*seq))
    assert scores.dtype == np.float64 and scores.shape == (len(seq),)
    np.testing.assert_array_equal(scores, want)


def test_score_length_one():
    pssm = np.arange(5.0).reshape(5, 1) - 1.5
    np.testing.assert_array_equal(scorer(pssm).score_sequence(codes(3, 4, 0, 1, 9, 2)),
                                  [1.5, NAN, -1.5, -0.5, NAN, 0.5])


@pytest.mark.parametrize("L, nan_at", [
    (3, [0, 5, 6, 7, 11]),
    (4, [0, 1, 5, 6, 7, 8, 11]),
    (5, [0, 1, 4, 5, 6, 7, 8, 10, 11]),
])
def test_score_nan_around_an_n(L, nan_at):
    seq = codes(*([2] * 6 + [4] + [2] * 5))
    scores = scorer(np.ones((5, L))).score_sequence(seq)
    assert np.flatnonzero(np.isnan(scores)).tolist() == nan_at
    assert (scores[~np.isnan(scores)] == L).all()


def test_codes_above_4_score_as_n():
    rng = np.random.default_rng(7)
    pssm = rng.normal(size=(5, 6))
    seq = rng.integers(0, 5, size=3000)
    other = seq.copy()
    other[seq == 4] = rng.choice([5, 9, 1000, 2 ** 62], size=(seq == 4).sum())
    np.testing.assert_array_equal(scorer(pssm).score_sequence(other), scorer(pssm).score_sequence(seq))


def test_score_reads_strided_and_read_only_sequences_and_matrices():
    rng = np.random.default_rng(3)
    pssm = rng.normal(size=(5, 5))
    seq = rng.integers(0, 5, size=201)
    want = scorer(pssm).score_sequence(seq)
    wide = np.zeros((9, 15))
    wide[::2, ::3] = pssm
    ro = seq.copy()
    ro.flags.writeable = False
    for m, sq in [(scorer(pssm), np.repeat(seq, 2)[::2]), (scorer(pssm), ro), (scorer(pssm), seq[::-1].copy()[::-1]),
                  (scorer(np.asfortranarray(pssm)), seq), (scorer(wide[::2, ::3]), seq)]:
        np.testing.assert_array_equal(m.score_sequence(sq), want)


def test_score_width_and_rows_come_from_pssm():
    m = s.NucleotideMatrix(3)
    m.pssm = DIGITS[:, :2]
    np.testing.assert_array_equal(m.score_sequence(codes(1, 2, 3)), [NAN, 32.0, 43.0])
    np.testing.assert_array_equal(s.NucleotideMatrix(0).score_sequence(codes(0, 4, 2)), [0.0, 0.0, 0.0])
    assert s.NucleotideMatrix(0).score_sequence(codes()).shape == (0,)
    np.testing.assert_array_equal(scorer(DIGITS[:4, :2]).score_sequence(codes(0, 3, 4)), [NAN, 41.0, NAN])


def test_score_returns_new_array_and_changes_nothing():
    m = counted(3, (0, 1, 2))
    m.prepare_mat()
    before = snapshot(m)
    seq = codes(0, 1, 2, 4, 0, 1, 2)
    a, b = m.score_sequence(seq), m.score_sequence(seq)
    assert a is not b and not np.shares_memory(a, b)
    np.testing.assert_array_equal(a, b)
    assert_unchanged(m, before)


@pytest.mark.parametrize("pssm, seq, exc, message", [
    (np.zeros((5, 2)), (0, 1, -2, 3), ValueError, "sequence[2] is -2; expected a nucleotide code, 0 or more"),
    (np.zeros((5, 4)), (0, -1), ValueError, "sequence[1] is -1; expected a nucleotide code, 0 or more"),
    (np.zeros((5, 0)), (-5,), ValueError, "sequence[0] is -5"),
    (np.zeros((3, 2)), (0, 1), ValueError, "attribute 'pssm' has shape (3, 2); expected at least (4, "),
    (None, (0, 1), TypeError, "attribute 'pssm' is None; expected a numpy.ndarray"),
    ([[0.0] * 2] * 5, (0, 1), TypeError, "Cannot convert list to numpy.ndarray"),
    (np.zeros(5), (0, 1), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
])
def test_score_refuses_bad_input(pssm, seq, exc, message):
    m = s.NucleotideMatrix(2)
    m.pssm = pssm
    before = snapshot(m)
    with pytest.raises(exc, match=re.escape(message)) as excinfo:
        m.score_sequence(codes(*seq))
    assert_unchanged(m, before)
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.NucleotideMatrix.score_sequence"


# ---------------------------------------------------------------- agreement with the reference model

def fill_both(L, rng, n_seqs):
    ext, ref = s.NucleotideMatrix(L), model.NucleotideMatrix(L)
    done = []
    for _ in range(n_seqs):
        if done and rng.random() < 0.2:
            # take back part of an earlier sequence: negative amounts that keep the counts positive
            method, seq, amount = done.pop(int(rng.integers(len(done))))
            amount = -0.5 * amount
        else:
            seq = rng.integers(0, 5, size=L + int(rng.integers(0, 3)))
            if rng.random() < 0.6:
                seq[:L][seq[:L] == 4] = rng.integers(0, 4)
            amount = float(rng.choice([1.0, 2.5, 0.0, rng.uniform(0.1, 4.0)]))
            method = "add_sequence" if rng.random() < 0.6 else "add_background"
            done.append((method, seq, amount))
        getattr(ext, method)(seq, amount)
        getattr(ref, method)(seq, amount)
    return ext, ref


@pytest.mark.parametrize("seed", range(8))
def test_matches_reference_model(seed):
    rng = np.random.default_rng(seed)
    L = int(rng.integers(1, 13))
    ext, ref = fill_both(L, rng, 25)
    for name in ("counts", "neg_counts", "bg_counts", "no_bias", "no_bg"):
        np.testing.assert_array_equal(getattr(ext, name), getattr(ref, name), err_msg=name)
    ext.prepare_mat()
    ref.prepare_mat()
    for name in ("no_bias", "no_bg", "bias_pwm", "bg_pwm", "pssm"):
        np.testing.assert_array_equal(getattr(ext, name), getattr(ref, name), err_msg=name)
    n = 5000 if seed == 0 else int(rng.integers(0, 120))
    seq = rng.choice([0, 1, 2, 3] * 10 + [4, 6], size=n).astype(np.int64)
    got = ext.score_sequence(seq)
    want = ref.score_sequence(np.minimum(seq, 4))          # codes above 4 are N
    assert np.isfinite(want).sum() >= (n - L) // 4
    assert_same_doubles(got, want)
