"""Nucleotide coding: nuc_to_num and complement."""
import numpy as np
import pytest

from morvane.utils import sequences as s


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("ACGTN", [0, 2, 3, 1, 4]),
    ("acgtn", [0, 2, 3, 1, 4]),
    ("RYKM-.*", [4] * 7),
    ("U u", [4, 4, 4]),
    ("A\u00c4T", [0, 4, 1]),            # one element per code point, not per UTF-8 byte
    ("G\u0100c", [3, 4, 2]),            # two-byte storage
    ("t\U0001F600a", [1, 4, 0]),        # four-byte storage
    ("\x00A\xff", [4, 0, 4]),
])
def test_nuc_to_num(text, expected):
    result = s.nuc_to_num(text)
    assert result.dtype == np.int64 and result.shape == (len(text),)
    assert result.tolist() == expected


def test_nuc_to_num_returns_a_fresh_writable_array_each_time():
    a, b = s.nuc_to_num("ACGT"), s.nuc_to_num("ACGT")
    assert a is not b and not np.shares_memory(a, b)
    assert a.flags.writeable and a.flags.c_contiguous


def test_nuc_to_num_matches_a_lookup_table_on_long_text():
    rng = np.random.default_rng(1)
    text = "".join(rng.choice(list("ACGTNacgtnRY-"), size=100_003))
    lut = {"A": 0, "a": 0, "T": 1, "t": 1, "C": 2, "c": 2, "G": 3, "g": 3}
    assert s.nuc_to_num(text).tolist() == [lut.get(ch, 4) for ch in text]


def test_complement():
    assert s.complement == {0: 1, 1: 0, 2: 3, 3: 2}
    assert list(s.complement) == [0, 1, 2, 3] and 4 not in s.complement
    assert type(s.complement) is dict


def test_strings_beyond_32_bit_lengths_are_refused():
    text = "A" * (2 ** 31)
    with pytest.raises(OverflowError, match="at most 2147483647 characters"):
        s.nuc_to_num(text)
