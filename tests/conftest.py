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


def snapshot(obj):
    """The instance's attributes, arrays copied."""
    return {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in vars(obj).items()}


def assert_unchanged(obj, before):
    after = vars(obj)
    assert list(after) == list(before)
    for k, v in before.items():
        if isinstance(v, np.ndarray):
            np.testing.assert_array_equal(after[k], v, err_msg=k)
        else:
            assert after[k] is v or after[k] == v, k
