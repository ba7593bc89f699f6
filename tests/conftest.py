import traceback

import numpy as np
import pytest

from morvane.utils import sequences


def traceback_names(excinfo):
    """Function names of the traceback entries of a caught exception."""
    return [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]


def codes(*values):
    return np.array(values, dtype=np.int64)


@pytest.fixture
def s():
    return sequences


def describe(value):
    """What must not change about an attribute value or an argument."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.strides, value.flags.writeable, value.tobytes(),
                None if value.base is None else describe(value.base))
    return ("value", type(value), repr(value))


def snapshot(obj):
    """The instance's attributes, arrays copied."""
    return {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in vars(obj).items()}


def assert_unchanged(obj, before):
    """Equal values; attributes may have been rebound to equal objects."""
    after = vars(obj)
    assert list(after) == list(before)
    for k, v in before.items():
        if isinstance(v, np.ndarray):
            np.testing.assert_array_equal(after[k], v, err_msg=k)
        else:
            assert after[k] is v or after[k] == v, k


def frozen(obj):
    """Every attribute with its object (for identity) and its description."""
    return {name: (value, describe(value)) for name, value in vars(obj).items()}


def assert_untouched(obj, before):
    """The very same attribute objects, unchanged in every detail."""
    after = frozen(obj)
    assert list(after) == list(before), "attributes added or removed"
    for name, (value, desc) in before.items():
        assert after[name][0] is value, f"attribute {name} was rebound"
        assert after[name][1] == desc, f"attribute {name} changed"


def assert_same_doubles(got, want, name=""):
    """Bit for bit, NaN where NaN is wanted."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype == np.float64 and got.shape == want.shape, name
    nan = np.isnan(want)
    assert (np.isnan(got) == nan).all(), name
    assert got[~nan].tobytes() == want[~nan].tobytes(), name


def dtype_mismatch(expected, found):
    return f"Buffer dtype mismatch, expected '{expected}' but got {found}"


class IntLike:
    """An object whose integer conversion returns ``value``, whatever it is."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value
