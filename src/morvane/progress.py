"""One progress bar over a whole job: its stages in turn, each a fixed share of the bar.

The bar's percentage is of the whole job, so it reaches 100 % only when the job says it is done
(`close(done=True)`); the stage at work and its own count stand beside it ("scan 3.1M/21.3Mbp").
"""

import sys
from collections.abc import Sequence
from typing import Any


class Progress:
    """Stages (name, share of the bar) in the order they run; a stage not named is not shown.
    Disabled, or when stderr is not a terminal, it does nothing."""

    def __init__(self, enabled: bool, stages: Sequence[tuple[str, float]]) -> None:
        total = sum(share for _, share in stages) or 1.0
        self.shares = {name: share / total for name, share in stages}
        self.order = [name for name, _ in stages]
        self.bar: Any = None
        if enabled and sys.stderr is not None and sys.stderr.isatty():
            from tqdm import tqdm
            self.bar = tqdm(total=100.0, file=sys.stderr, leave=False,
                            bar_format="{percentage:3.0f}%|{bar}| {postfix} [{elapsed}<{remaining}]")
        self.name = ""
        self.base = 0.0       # the share of the stages before this one
        self.count = 0.0
        self.total: float | None = 0.0
        self.unit = ""

    def stage(self, name: str, total: float | None, unit: str = "") -> None:
        """Starts stage `name` (the ones before it count as done) with `total` steps of `unit`;
        None when the total is not known ahead (a genome read from a pipe): the stage's count is
        shown, and its share is counted only when the next stage starts."""
        if name not in self.shares:
            return
        self.base = sum(self.shares[n] for n in self.order[:self.order.index(name)])
        self.name, self.count, self.unit = name, 0.0, unit
        self.total = None if total is None else float(total)
        self._show(force=True)

    def advance(self, steps: float = 1) -> None:
        self.count += steps
        self._show()

    def _show(self, force: bool = False) -> None:
        if self.bar is None or not self.name:
            return
        from tqdm import tqdm
        if self.total is None:
            done = 0.0
        else:
            done = min(self.count / self.total, 1.0) if self.total > 0 else 1.0
        # the bar rounds to whole percents: a job still running reads 99 at most, never 100
        at = min(100.0 * (self.base + self.shares[self.name] * done), 99.4)
        size = tqdm.format_sizeof
        of = "" if self.total is None else f"/{size(self.total)}"
        self.bar.set_postfix_str(f"{self.name} {size(self.count)}{of}{self.unit}", refresh=False)
        self.bar.update(at - self.bar.n)
        if force:
            self.bar.refresh()

    def close(self, done: bool = False) -> None:
        if self.bar is None:
            return
        if done:
            self.bar.update(100.0 - self.bar.n)
        self.bar.close()
        self.bar = None
