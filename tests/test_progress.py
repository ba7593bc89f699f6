"""The progress bar over a whole job: what it reads while the job runs."""

import io
import re
import sys

import pytest

from morvane.progress import Progress


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stages", [[("scan", 1)], [("motifs", 1), ("scan", 8), ("q-values", 2)]])
def test_the_bar_reads_100_only_once_the_job_is_done(monkeypatch, stages):
    err = Terminal()
    monkeypatch.setattr(sys, "stderr", err)
    bar = Progress(True, stages)
    bar.bar.mininterval, bar.bar.miniters = 0, 0        # every step drawn
    for name, _ in stages:
        bar.stage(name, 1000, "bp")
        for _ in range(1000):
            bar.advance(1)
        bar.advance(5)                                   # past the count given: still not done
    percents = [int(p) for p in re.findall(r"(\d+)%\|", err.getvalue())]
    assert max(percents) == 99 and percents == sorted(percents)
    bar.close(done=True)
    assert bar.bar is None
