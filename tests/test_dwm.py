"""DiNucleotideMatrix: pair counting, preparation and conditional-probability scoring."""
import math
import re

import numpy as np
import pytest

import model
from conftest import assert_same_doubles, assert_unchanged, codes, snapshot, traceback_names
from morvane.utils import sequences as s

NAN = float("nan")
LOGS = ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")


def dwm(L, bias=(), background=(), amount=1.0):
    m = s.DiNucleotideMatrix(L)
    for seq in bias:
        m.add_sequence(codes(*seq), amount)
    for seq in background:
        m.add_background(codes(*seq), amount)
    return m


def prepared(*args, **kwargs):
    m = dwm(*args, **kwargs)
    m.prepare_mat()
    return m


# ---------------------------------------------------------------- construction and counting

def test_constructor():
    m = s.DiNucleotideMatrix(3)
    shapes = {"counts": (5, 5, 3, 3), "neg_counts": (5, 3), "bg_counts": (5, 5, 3, 3), "pssm": (5, 3),
              "bias_pwm": (5, 5, 3, 3), "bg_pwm": (5, 5, 3, 3), "bias_dwm": (5, 5, 3, 3), "bg_dwm": (5, 5, 3, 3)}
    assert list(vars(m)) == ["length", "counts", "neg_counts", "bg_counts", "no_bias", "no_bg",
                             "pssm", "bias_pwm", "bg_pwm", "bias_dwm", "bg_dwm"]
    for name, shape in shapes.items():
        a = getattr(m, name)
        assert a.shape == shape and a.dtype == np.float64 and not a.any(), name
    assert len({id(getattr(m, k)) for k in shapes}) == len(shapes)
    assert m.length == 3 and type(m.no_bias) is int and type(m.no_bg) is int and m.no_bias == m.no_bg == 0


def test_constructor_refusing_a_length_keeps_what_it_set():
    m = s.DiNucleotideMatrix.__new__(s.DiNucleotideMatrix)
    with pytest.raises(ValueError, match="negative dimensions"):
        m.__init__(-1)
    assert vars(m) == {"length": -1}


@pytest.mark.parametrize("method, counts, total", [("add_sequence", "counts", "no_bias"),
                                                   ("add_background", "bg_counts", "no_bg")])
@pytest.mark.parametrize("seq, amount", [((0, 3), 1.0), ((0, 3, 4, 7), 2.5), ((0, 3), -0.5), ((0, 3), 0.0)])
def test_counting_l2(method, counts, total, seq, amount):
    m = s.DiNucleotideMatrix(2)
    other = {"counts": "bg_counts", "bg_counts": "counts"}[counts]
    target = getattr(m, counts)
    getattr(m, method)(codes(*seq), amount)
    want = np.zeros((5, 5, 2, 2))
    for idx in [(0, 0, 0, 0), (0, 3, 0, 1), (3, 0, 1, 0), (3, 3, 1, 1)]:
        want[idx] = amount
    assert getattr(m, counts) is target
    np.testing.assert_array_equal(target, want)
    assert type(getattr(m, total)) is float and getattr(m, total) == amount
    assert not getattr(m, other).any() and not m.neg_counts.any()
    assert getattr(m, {"no_bias": "no_bg", "no_bg": "no_bias"}[total]) == 0


@pytest.mark.parametrize("method", ["add_sequence", "add_background"])
@pytest.mark.parametrize("seq", [(4, 0, 1), (0, 1, 4), (0, 4, 9, 1), (9, 0, 4), (-1, 4, 2)])
def test_sequence_with_n_in_window_is_not_counted(method, seq):
    m = dwm(3, [(1, 2, 3)], [(3, 2, 1)])
    before = snapshot(m)
    assert getattr(m, method)(codes(*seq), 3.0) is None
    assert_unchanged(m, before)


def test_length_zero_only_grows_totals():
    m = dwm(0, [(), (4,)], [()], amount=2.0)
    assert m.counts.shape == (5, 5, 0, 0) and m.no_bias == 4.0 and m.no_bg == 2.0


def test_counts_stay_symmetric():
    rng = np.random.default_rng(11)
    m = s.DiNucleotideMatrix(6)
    for _ in range(40):
        seq = rng.integers(0, 4, size=6 + int(rng.integers(0, 3)))
        getattr(m, rng.choice(["add_sequence", "add_background"]))(seq, float(rng.uniform(-1, 3)))
    for a in (m.counts, m.bg_counts):
        assert a.any()
        np.testing.assert_array_equal(a, a.transpose(1, 0, 3, 2))
        assert not a[4].any() and not a[:, 4].any()


@pytest.mark.parametrize("method, seq, attr, value, exc, message", [
    ("add_sequence", (0,), None, None, ValueError, "sequence has 1 elements; expected at least 2"),
    ("add_background", (0, 5), None, None, ValueError, "sequence[1] is 5; expected a nucleotide code from 0 to 4"),
    ("add_sequence", (-1, 0, 4), None, None, ValueError, "sequence[0] is -1"),
    ("add_sequence", (0, 1), "counts", None, TypeError, "attribute 'counts' is None; expected a numpy.ndarray"),
    ("add_background", (0, 1), "bg_counts", np.zeros((5, 5, 2, 1)), ValueError,
     "attribute 'bg_counts' has shape (5, 5, 2, 1); expected at least (5, 5, 2, 2)"),
    ("add_sequence", (0, 1), "counts", np.zeros((5, 2)), ValueError,
     "Buffer has wrong number of dimensions (expected 4, got 2)"),
    ("add_background", (0, 1), "length", 2 ** 31, OverflowError, "value too large to convert to int"),
])
def test_counting_refuses_bad_input_before_changing_anything(method, seq, attr, value, exc, message):
    m = dwm(2, [(0, 1)], [(2, 3)])
    if attr is not None:
        setattr(m, attr, value)
    before = snapshot(m)
    with pytest.raises(exc, match=re.escape(message)) as excinfo:
        getattr(m, method)(codes(*seq))
    assert_unchanged(m, before)
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.DiNucleotideMatrix." + method


# ---------------------------------------------------------------- prepare_mat

def test_prepare_fresh_matrix():
    m = prepared(3)
    assert m.no_bias == 0.0 and m.no_bg == 0.0 and isinstance(m.no_bias, np.float64)
    for name, shape, value in [("bias_pwm", (5, 3), 0.25), ("bg_pwm", (5, 3), 0.25), ("pssm", (5, 3), 0.0),
                               ("bias_dwm", (5, 5, 3, 3), 0.0625), ("bg_dwm", (5, 5, 3, 3), 0.0625),
                               ("bias_pwm_log", (5, 3), -2.0), ("bg_pwm_log", (5, 3), -2.0),
                               ("bias_dwm_log", (5, 5, 3, 3), -4.0), ("bg_dwm_log", (5, 5, 3, 3), -4.0)]:
        np.testing.assert_array_equal(getattr(m, name), np.full(shape, value), err_msg=name)


def test_prepare_worked_example():
    m = dwm(2, [(0, 3)])
    m.no_bias, m.no_bg = 50.0, -3                            # derived again from the counts
    m.prepare_mat()
    assert m.no_bias == 1.0 and m.no_bg == 0.0
    np.testing.assert_allclose(m.bias_pwm, [[0.4, 0.2], [0.2, 0.2], [0.2, 0.2], [0.2, 0.4], [0.2, 0.2]], rtol=1e-15)
    assert m.bias_dwm[0, 3, 0, 1] == m.bias_dwm[0, 0, 0, 0] == pytest.approx(3.56 / 17, rel=1e-14)
    for idx in [(1, 2, 0, 1), (0, 3, 1, 0), (4, 4, 0, 1)]:
        assert m.bias_dwm[idx] == pytest.approx(0.64 / 17, rel=1e-14)
    np.testing.assert_array_equal(m.bg_dwm, np.full((5, 5, 2, 2), 0.0625))
    np.testing.assert_allclose(m.bias_dwm[:4, :4].sum(axis=(0, 1)), np.ones((2, 2)), rtol=1e-14)
    assert m.bias_pwm_log[0, 0] == np.log2(m.bias_pwm[0, 0])
    np.testing.assert_array_equal(m.bias_dwm_log, np.log2(m.bias_dwm))
    np.testing.assert_array_equal(m.pssm, np.log2(m.bias_pwm / 0.25))


@pytest.mark.parametrize("weight, calls, pseudo", [(20.0, 20, 20.0), (16.0, 1, 16.0), (16.5, 1, 16.5),
                                                   (10.0, 1, 16.0)])
def test_prepare_pseudo_count_weight(weight, calls, pseudo):
    m = dwm(2, [(0, 3)] * calls, amount=weight / calls)
    m.prepare_mat()
    p0, rare = (weight + 1) / (weight + 4), 1 / (weight + 4)
    assert m.bias_pwm[0, 0] == pytest.approx(p0) and m.bias_pwm[1, 0] == pytest.approx(rare)
    assert m.bias_dwm[0, 3, 0, 1] == pytest.approx((weight + pseudo * p0 * p0) / (weight + pseudo), rel=1e-14)
    assert m.bias_dwm[1, 2, 0, 1] == pytest.approx(pseudo * rare * rare / (weight + pseudo), rel=1e-14)
    if weight == 20.0:
        assert m.bias_pwm[0, 0] == 0.875 and m.bias_dwm[0, 3, 0, 1] == pytest.approx(0.8828125, rel=1e-15)


def test_prepare_identity_and_repeatability():
    m = dwm(3, [(0, 1, 2), (0, 2, 2)], [(3, 3, 1)])
    held = {k: getattr(m, k) for k in ("bias_dwm", "bg_dwm", "pssm", "bias_pwm", "bg_pwm")}
    m.prepare_mat()
    first = snapshot(m)
    objects = dict(vars(m))
    m.prepare_mat()
    assert_unchanged(m, first)
    assert m.bias_dwm is held["bias_dwm"] and m.bg_dwm is held["bg_dwm"]
    for name in ("pssm", "bias_pwm", "bg_pwm") + LOGS:
        assert getattr(m, name) is not objects[name] and getattr(m, name) is not held.get(name)


def test_prepare_width_zero():
    m = s.DiNucleotideMatrix(0)
    with pytest.warns(RuntimeWarning):
        m.prepare_mat()
    assert math.isnan(m.no_bias) and math.isnan(m.no_bg)
    for name in ("bias_pwm", "bg_pwm", "pssm", "bias_pwm_log", "bg_pwm_log"):
        assert getattr(m, name).shape == (5, 0), name
    assert m.bias_dwm_log.shape == m.bg_dwm_log.shape == (5, 5, 0, 0)


def test_prepare_length_refused_by_range_after_position_matrices():
    m = dwm(2, [(0, 3)])
    m.length = 2.0
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer") as excinfo:
        m.prepare_mat()
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.DiNucleotideMatrix.prepare_mat"
    assert m.no_bias == 1.0 and m.bias_pwm.shape == (5, 2) and m.bg_pwm.shape == (5, 2) and m.pssm[0, 0] > 0
    assert not m.bias_dwm.any() and not any(hasattr(m, k) for k in LOGS)


@pytest.mark.parametrize("attr, shape", [("counts", (5, 5, 2, 3)), ("bias_dwm", (5, 5, 3, 2)),
                                         ("bg_dwm", (5, 4, 3, 3)), ("bg_counts", (4, 5, 3, 3))])
def test_prepare_small_pair_array_is_index_error(attr, shape):
    m = dwm(3, [(0, 1, 2)], [(2, 1, 0)])
    setattr(m, attr, np.zeros(shape))
    with np.errstate(all="ignore"), pytest.raises(IndexError, match=re.escape(f"'{attr}' has shape")):
        m.prepare_mat()
    assert not any(hasattr(m, k) for k in LOGS)


def counted_pair(L=3, seed=7):
    """A matrix with counts and the reference model holding copies of them."""
    rng = np.random.default_rng(seed)
    ext = dwm(L, rng.integers(0, 4, (6, L)), rng.integers(0, 4, (4, L)), amount=3.0)
    ref = model.DiNucleotideMatrix(L)
    ref.counts, ref.bg_counts = ext.counts.copy(), ext.bg_counts.copy()
    return ext, ref


def prepare_both_and_compare(ext, ref, names):
    with np.errstate(all="ignore"):
        ext.prepare_mat()
        ref.prepare_mat()
    for name in names:
        assert_same_doubles(np.float64(getattr(ext, name)), np.float64(getattr(ref, name)), name)


@pytest.mark.parametrize("dtype", [np.int64, np.int8, np.uint64, np.bool_, ">f8"])
def test_prepare_reads_integer_counts_as_numpy_arithmetic_does(dtype):
    ext, ref = counted_pair()
    scale = 1e17 if np.dtype(dtype).itemsize == 8 else 1.0    # beyond 2**53 where the type allows
    for m in (ext, ref):
        m.counts = m.counts.astype(dtype)
        m.bg_counts = (m.bg_counts * scale).astype(dtype)
    prepare_both_and_compare(ext, ref, ("no_bias", "no_bg", "pssm", "bias_dwm", "bg_dwm") + LOGS)


def one_ahead(m, writer, reader):
    """Binds m.<writer> to the memory of m.<reader>, shifted one element ahead."""
    source = getattr(m, reader)
    store = np.concatenate([[0.0], source.ravel()])
    setattr(m, reader, store[1:].reshape(source.shape))
    setattr(m, writer, store[:-1].reshape(source.shape))


@pytest.mark.parametrize("writer, reader", [("bias_dwm", "bg_counts"), ("bg_dwm", "counts"),
                                            ("bias_dwm", "counts"), ("bg_dwm", "bias_dwm")])
def test_prepare_pair_arrays_sharing_memory_follow_the_element_loop(writer, reader):
    ext, ref = counted_pair()
    for m in (ext, ref):
        one_ahead(m, writer, reader)
    prepare_both_and_compare(ext, ref, ("counts", "bg_counts", "bias_dwm", "bg_dwm"))


# ---------------------------------------------------------------- score_sequence

def test_score_worked_example():
    m = prepared(2, [(0, 3)])
    scores = m.score_sequence(codes(0, 3, 0, 3, 4, 1, 2))
    np.testing.assert_array_equal(scores.round(7), [NAN, 1.8887039, -0.6438562, 1.8887039, NAN, NAN, -0.6438562])
    assert scores[1] == pytest.approx(4 + 2 * math.log2(3.56 / 7.4), rel=1e-12)


@pytest.mark.parametrize("m", [prepared(5), prepared(5, [(0, 1, 2, 3, 3), (2, 2, 1, 0, 3)], [(0, 1, 2, 3, 3),
                                                                                           (2, 2, 1, 0, 3)])])
def test_equal_models_score_exactly_zero(m):
    scores = m.score_sequence(np.random.default_rng(5).integers(0, 4, size=80))
    assert (scores[2:-2] == 0.0).all() and np.isnan(scores[[0, 1, -2, -1]]).all()


def test_score_length_one():
    m = prepared(1, [(0,), (0,), (2,)], [(1,), (3,), (3,)])
    seq = codes(0, 1, 2, 3, 4, 7, 0)
    got = m.score_sequence(seq)

    def logp(pwm, c):
        return pwm[c, 0] - math.log2(sum(2.0 ** pwm[a, 0] for a in range(4)))

    want = [logp(m.bias_pwm_log, c) - logp(m.bg_pwm_log, c) if c < 4 else NAN for c in seq]
    np.testing.assert_allclose(got, want, rtol=1e-13)
    assert got[0] > 0 > got[1]


@pytest.mark.parametrize("L, seq, nan_at", [
    (3, [2] * 6 + [4] + [2] * 5, [0, 5, 6, 7, 11]),
    (4, [2] * 6 + [9] + [2] * 5, [0, 1, 5, 6, 7, 8, 11]),
    (5, [0, 1, 2, 3, 0], [0, 1, 3, 4]),
    (4, [0, 1, 2, 3], [0, 1, 3]),
    (4, [0, 1, 2], [0, 1, 2]),
    (4, [], []),
])
def test_score_placement(L, seq, nan_at):
    scores = prepared(L, [(0, 1, 2, 3, 0)[:L]]).score_sequence(codes(*seq))
    assert scores.dtype == np.float64 and scores.shape == (len(seq),)
    assert np.flatnonzero(np.isnan(scores)).tolist() == nan_at


def test_score_reads_any_sequence_layout_and_changes_nothing():
    m = prepared(4, [(0, 1, 2, 3), (0, 1, 1, 3)], [(2, 2, 2, 2)])
    rng = np.random.default_rng(2)
    seq = rng.choice([0, 1, 2, 3, 4], size=90)
    before = snapshot(m)
    want = m.score_sequence(seq)
    ro = seq.copy()
    ro.flags.writeable = False
    high = np.where(seq == 4, 12, seq)
    for other in (np.repeat(seq, 3)[::3], ro, seq[::-1].copy()[::-1], high):
        got = m.score_sequence(other)
        assert got is not want
        np.testing.assert_array_equal(got, want)
    assert_unchanged(m, before)


def test_score_before_prepare_names_the_missing_attribute():
    with pytest.raises(AttributeError, match="bias_pwm_log"):
        s.DiNucleotideMatrix(2).score_sequence(codes(0, 1))


def test_score_width_zero_and_negative():
    m = prepared(2)
    m.length = 0
    np.testing.assert_array_equal(m.score_sequence(codes(0, 4, 1)), [0.0, 0.0, 0.0])
    m.length = -1
    with pytest.raises(ValueError, match=re.escape("length is -1; a matrix width cannot be negative")):
        m.score_sequence(codes(0, 4, 1))


@pytest.mark.parametrize("attr, value, exc, message", [
    ("bias_pwm_log", np.zeros((5, 1)), ValueError,
     "attribute 'bias_pwm_log' has shape (5, 1); expected at least (4, 2)"),
    ("bg_pwm_log", np.zeros((3, 2)), ValueError, "attribute 'bg_pwm_log' has shape (3, 2)"),
    ("bias_dwm_log", np.zeros((4, 5, 2, 2)), ValueError,
     "attribute 'bias_dwm_log' has shape (4, 5, 2, 2); expected at least (5, 4, 2, 2)"),
    ("bg_dwm_log", np.zeros((5, 5, 2, 1)), ValueError, "attribute 'bg_dwm_log' has shape (5, 5, 2, 1)"),
    ("bg_dwm_log", None, TypeError, "attribute 'bg_dwm_log' is None"),
    ("bias_pwm_log", np.zeros((5, 2), dtype=np.float32), ValueError, "expected 'float64_t' but got 'float'"),
    ("sequence", None, ValueError, "sequence[3] is -2; expected a nucleotide code, 0 or more"),
])
def test_score_refuses_bad_input(attr, value, exc, message):
    m = prepared(2, [(0, 3)])
    if attr != "sequence":
        setattr(m, attr, value)
    before = snapshot(m)
    with pytest.raises(exc, match=re.escape(message)) as excinfo:
        m.score_sequence(codes(0, 3, 1, -2, 2))
    assert_unchanged(m, before)
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.DiNucleotideMatrix.score_sequence"


def test_score_four_code_pair_matrices_are_enough():
    m = prepared(2, [(0, 3)])
    want = m.score_sequence(codes(0, 3, 1, 2))
    m.bias_dwm_log, m.bg_dwm_log = m.bias_dwm_log[:, :4], m.bg_dwm_log[:, :4]
    np.testing.assert_array_equal(m.score_sequence(codes(0, 3, 1, 2)), want)


# ---------------------------------------------------------------- agreement with the reference model

@pytest.mark.parametrize("seed", range(8))
def test_matches_reference_model(seed):
    rng = np.random.default_rng(100 + seed)
    L = 2 if seed == 0 else int(rng.integers(1, 13))
    ext, ref = s.DiNucleotideMatrix(L), model.DiNucleotideMatrix(L)
    done = []
    for _ in range(int(rng.integers(5, 50))):
        if done and rng.random() < 0.2:
            # take back part of an earlier sequence: negative amounts that keep the counts positive
            method, seq, amount = done.pop(int(rng.integers(len(done))))
            amount = -0.5 * amount
        else:
            seq = rng.choice([0, 1, 2, 3] * 4 + [4], size=L + int(rng.integers(0, 3)))
            amount = float(rng.choice([1.0, 2.5, 0.0, rng.uniform(0.5, 6.0)]))
            method = "add_sequence" if rng.random() < 0.5 else "add_background"
            done.append((method, seq, amount))
        getattr(ext, method)(seq, amount)
        getattr(ref, method)(seq, amount)
    for name in ("counts", "bg_counts", "no_bias", "no_bg"):
        assert_same_doubles(np.float64(getattr(ext, name)), np.float64(getattr(ref, name)), name)
    ext.prepare_mat()
    ref.prepare_mat()
    for name in ("no_bias", "no_bg", "bias_pwm", "bg_pwm", "pssm", "bias_dwm", "bg_dwm") + LOGS:
        assert_same_doubles(np.float64(getattr(ext, name)), np.float64(getattr(ref, name)), name)
    n = 4200 if seed == 0 else int(rng.integers(40, 61))    # seed 0 crosses the scoring block size
    seq = rng.choice([0, 1, 2, 3] * 20 + [4, 7], size=n).astype(np.int64)
    want = ref.score_sequence(np.minimum(seq, 4))            # codes above 4 are N
    assert np.isfinite(want).sum() >= (n - L) // 4
    assert_same_doubles(ext.score_sequence(seq), want)
