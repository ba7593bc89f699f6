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
