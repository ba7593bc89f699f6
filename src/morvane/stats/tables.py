"""The room the large tables of PWM nulls share: one budget for the whole process."""

from __future__ import annotations

import threading
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterable
from functools import wraps
from typing import TYPE_CHECKING, Concatenate, Protocol

if TYPE_CHECKING:
    from .pwm import PwmNull


class _Holder(Protocol):
    """What keeps tables: their size, and a way to give them back."""

    def _table_bytes(self) -> int: ...
    def _drop_tables(self) -> None: ...


class _Budget:
    """Room for the large tables nulls keep between calls (listed words, lattices), shared by every
    null of the process: past it, a null that has just made its tables gives them back, and one
    that kept them and needs more room takes it from the least recently used nulls not in a call.
    Tables given back are made again if asked for. A motif's tables take at most some 3 MB, most a
    few hundred kB: a scan of a thousand motifs holds 128 MB of tables, and the listings and
    recursions of the calls under way (a few MB each) keep the whole within 256 MB."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self._lock = threading.Lock()
        self._held: OrderedDict[int, tuple[weakref.ref[_Holder], int]] = OrderedDict()  # least recent first
        self._total = 0  # bytes of the tables held
        self._busy: dict[int, int] = {}

    def has_room(self, size: int) -> bool:
        """Whether tables of `size` bytes more fit."""
        return self._total + size <= self.limit

    def enter(self, null: _Holder) -> None:
        with self._lock:
            self._busy[id(null)] = self._busy.get(id(null), 0) + 1

    def _forget(self, key: int) -> None:
        self._total -= self._held.pop(key)[1]

    def leave(self, null: _Holder) -> None:
        size = null._table_bytes()
        with self._lock:
            key = id(null)
            self._busy[key] -= 1
            if not self._busy[key]:
                del self._busy[key]
            was_held = key in self._held
            if was_held:
                self._forget(key)
            if size:
                self._held[key] = (weakref.ref(null), size)
                self._total += size
            if self._total <= self.limit:
                return  # a call a hit makes: nothing more to go through
            for other, (ref, _) in list(self._held.items()):
                if ref() is None:  # gone, with its tables
                    self._forget(other)
            # A null that made its tables in this call and finds the room full gives them back
            # itself (unless it is alone): a scan asks every motif in turn, chunk after chunk, and
            # making room for each newcomer would give back every motif's tables before it is
            # asked again, where this way those that fit keep theirs.
            if self._total > self.limit and size and not was_held and len(self._held) > 1 and key not in self._busy:
                self._forget(key)
                null._drop_tables()
                return
            for other, (ref, _) in list(self._held.items()):
                if self._total <= self.limit:
                    break
                if other == key or other in self._busy:
                    continue
                self._forget(other)
                victim = ref()
                if victim is not None:  # under the lock: no call of it can start meanwhile
                    victim._drop_tables()


_TABLES = _Budget(128 << 20)


def has_room(size: int) -> bool:
    """Whether tables of `size` bytes more fit in the room nulls share."""
    return _TABLES.has_room(size)


def prepare_all(nulls: Iterable[PwmNull], lowest: Iterable[float]) -> None:
    """`PwmNull.prepare` for each null with its lowest score while their tables fit in the room
    nulls share (those past it list their words again for each call): first what serves all of
    a motif's hits (its listed words, or its bound), then the listed words above the bounds,
    which serve a few hits each."""
    from .pwm import _LISTING_BYTES
    pairs = list(zip(nulls, lowest))
    for null, low in pairs:
        if not has_room(0):
            return
        null.prepare(low, top=False)
    for null, low in pairs:
        if not has_room(_LISTING_BYTES):
            return
        null.prepare(low)


def _holding[H: _Holder, **P, R](method: Callable[Concatenate[H, P], R]) -> Callable[Concatenate[H, P], R]:
    """A public method of PwmNull: its tables are not given back while it runs, and count after."""
    @wraps(method)
    def call(self: H, *args: P.args, **kwargs: P.kwargs) -> R:
        _TABLES.enter(self)
        try:
            return method(self, *args, **kwargs)
        finally:
            _TABLES.leave(self)
    return call
