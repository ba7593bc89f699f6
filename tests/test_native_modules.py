"""The Python faces of the extension modules morvane._scan and morvane._stats: text signatures
that inspect reads, and stubs that agree with the modules."""
import inspect
import subprocess
import sys

import pytest

from morvane import _scan, _stats


@pytest.mark.parametrize("fn, signature", [
    (_scan.encode, "(text, /)"),
    (_scan.Scanner, "(matrices, thresholds, strand='both', model='pwm')"),
    (_scan.de_bruijn, "(L, /)"),
    (_scan.Scanner.scan, "(self, /, codes, limit=None, offset=0)"),
    (_scan._simd_level, "()"),
    (_scan._force_simd_level, "(name, /)"),
    (_stats.lattice_bracket, "(q, bg, reach, lo, hi, count_words=True, tilt=None, /)"),
    (_stats.lattice_words,
     "(q, matrix, bg, reach, lo, hi, level_limit, work, work_limit, expect=0, keep_sums=True, /)"),
    (_stats.lattice_tails, "(q, matrix, bg, reach, lo, x, /)"),
    (_stats.best_first, "(x, p, /)"),
])
def test_signatures(fn, signature):
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ and "--" not in fn.__doc__.splitlines()[0]  # the signature line is not the doc


@pytest.mark.parametrize("module", ["morvane._scan", "morvane._stats"])
def test_stub_is_faithful_to_the_module(module, tmp_path):
    pytest.importorskip("mypy")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", module], cwd=tmp_path,
                         capture_output=True, text=True)
    assert out.returncode == 0 and "Success" in out.stdout, out.stdout + out.stderr
