"""One rule for a background, wherever one enters: motifs (A, C, G, T) and the statistics (A, T, C, G)."""

import numpy as np
import pytest

from morvane.motifs import Motif
from morvane.stats import PwmNull, dwm_pvalue, dwm_threshold
from morvane.utils import sequences


def small_dwm():
    dwm = sequences.DiNucleotideMatrix(3)
    for site in ([0, 1, 2], [0, 3, 2], [1, 1, 2]):
        dwm.add_sequence(np.array(site, dtype=np.int64))
    dwm.prepare_mat()
    return dwm


# (caller, the owner its messages name, the base order they name)
CALLERS = {
    "motif": (lambda bg: Motif.from_counts(np.ones((4, 3)), name="m", background=bg), "motif 'm'", "A, C, G, T"),
    "pwm null": (lambda bg: PwmNull(np.zeros((4, 3)), bg), "PwmNull", "A, T, C, G"),
    "dwm p-value": (lambda bg: dwm_pvalue(small_dwm(), bg, 0.0, n=10), "dwm_pvalue", "A, T, C, G"),
    "dwm threshold": (lambda bg: dwm_threshold(small_dwm(), bg, 0.5, n=10), "dwm_threshold", "A, T, C, G"),
}


@pytest.mark.parametrize("caller", CALLERS)
@pytest.mark.parametrize("bad, what", [
    ([0.25, 0.25, 0.5, 0.0], "four positive"),
    ([0.5, 0.5, 0.25, -0.25], "four positive"),
    ([np.nan, 0.25, 0.25, 0.5], "four positive"),
    ([np.inf, 0.25, 0.25, 0.5], "four positive"),
    ([0.5, 0.5], "four positive"),
    ([0.2] * 5, "four positive"),
    (["a", "c", "g", "t"], "four positive"),
    ([0.25, 0.25, 0.25, 0.26], "sum to 1.01,"),
    ([0.3, 0.3, 0.3, 0.3], "sum to 1.2,"),
    ([0.25, 0.25, 0.25, 0.25 + 5e-6], "sum to 1.000005,"),
])
def test_bad_backgrounds_are_refused_by_every_caller(caller, bad, what):
    call, owner, order = CALLERS[caller]
    with pytest.raises(ValueError) as error:
        call(bad)
    message = str(error.value)
    assert message.startswith(f"{owner}: ") and what in message
    if what == "four positive":
        assert f"({order})" in message


@pytest.mark.parametrize("caller", CALLERS)
@pytest.mark.parametrize("good", [[0.25, 0.25, 0.25, 0.25 + 5e-7], [0.1, 0.4, 0.4, 0.1],
                                  np.array([0.25, 0.25, 0.25, 0.25], np.float32).reshape(4, 1)])
def test_backgrounds_within_the_tolerance_serve_every_caller(caller, good):
    CALLERS[caller][0](good)


def test_motifs_renormalise_and_statistics_take_the_background_as_given():
    bg = np.array([0.1, 0.2, 0.3, 0.4 + 5e-7])
    # a motif divides by the sum (the doubles its PWM is built from)
    np.testing.assert_array_equal(Motif.from_counts(np.ones((4, 1)), background=bg).background, bg / bg.sum())
    # one column scoring each base apart: the tail at the best base is its own probability, untouched
    null = PwmNull(np.array([[0.0], [1.0], [2.0], [3.0]]), bg)
    assert null.pvalue(3.0) == bg[3] and null.pvalue(2.0) == bg[2] + bg[3]


@pytest.mark.parametrize("given", ["genome", "GC-rich"])
def test_motifs_name_what_a_text_background_may_be(given):
    with pytest.raises(ValueError, match=f"^motif 'm': '{given}' is not a background here; give 'uniform'"):
        Motif.from_counts(np.ones((4, 2)), name="m", background=given)
    assert np.array_equal(Motif.from_counts(np.ones((4, 2)), background="uniform").background, np.full(4, 0.25))
