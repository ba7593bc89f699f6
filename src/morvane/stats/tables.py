"""The room the large tables of PWM nulls share: one budget for the whole process."""

from __future__ import annotations

import atexit
import io
import os
import tempfile
import threading
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterable, Sequence
from contextlib import AbstractContextManager, nullcontext
from functools import wraps
from typing import TYPE_CHECKING, Concatenate, NamedTuple, Protocol

import numpy as np
from numpy.typing import NDArray

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
    Tables given back are made again if asked for. A motif's tables take at most some 7 MB, most a
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


def prepare_all(nulls: Iterable[PwmNull], lowest: Iterable[float], ready: Callable[[], None] | None = None,
                locks: Sequence[AbstractContextManager[object]] | None = None) -> None:
    """`PwmNull.prepare` for each null with its lowest score while their tables fit in the room
    nulls share (those past it list their words again for each call): first what serves all of
    a motif's hits (its listed words, or its bound), each null as soon as its score comes; then,
    once `ready()` is called, the listed words above the bounds, which serve a few hits each,
    spilled where the room has none left for them: each null under its lock of `locks`, since
    its hits may be asked for meanwhile."""
    from .pwm import _LISTING_BYTES
    pairs, full = [], False
    for null, low in zip(nulls, lowest):
        pairs.append((null, low))
        full = full or not has_room(0)
        if not full:
            null.prepare(low, top=False)
    if ready is not None:
        ready()
    if full:
        return
    for k, (null, low) in enumerate(pairs):
        with locks[k] if locks is not None else nullcontext():
            if has_room(_LISTING_BYTES):
                null.prepare(low)
            else:  # past the room, listed once here and spilled
                null.spill_listed()


class Spilled(NamedTuple):
    """Where spilled arrays lie: the process that wrote them, the offset, each array's length."""

    pid: int
    at: int
    sizes: tuple[int, ...]


class _Spill:
    """Listings the room cannot hold, kept in one temporary file of the process (unlinked from the
    start where the system allows, so nothing is left behind) and read back into a buffer of the
    reading thread: a scan of many chunks then lists each motif's words once, not once a chunk.
    A listing takes at most about 1 MB; a null spills a given listing once. A process forked
    from this one (a worker) starts a file of its own: what its parent spilled stays unread."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._file: io.BufferedRandom | None = None
        self._pid = -1
        self._end = 0
        self._broken = False   # the file could not be made or written: listings are made anew
        self._local = threading.local()
        atexit.register(self.close)

    def usable(self) -> bool:
        """Whether listings may be spilled (the file has not failed)."""
        return not self._broken

    def close(self) -> None:
        with self._lock:
            if self._file is not None and self._pid == os.getpid():
                self._file.close()
            self._file = None

    def put(self, arrays: tuple[NDArray[np.float64], ...]) -> Spilled | None:
        """Writes float64 arrays; where they lie (None when the file cannot take them)."""
        with self._lock:
            if self._broken:
                return None
            try:
                if self._file is None or self._pid != os.getpid():
                    if self._file is not None:  # the parent's, inherited: this process's copy only
                        self._file.close()
                    self._file = tempfile.TemporaryFile(prefix="morvane-")
                    self._pid, self._end = os.getpid(), 0
                at = self._end
                self._file.seek(at)
                for a in arrays:
                    self._file.write(memoryview(np.ascontiguousarray(a, dtype=np.float64)).cast("B"))
                self._file.flush()
            except OSError:  # a full or unwritable temporary folder: no worse than no spill
                self._broken = True
                return None
            sizes = tuple(a.size for a in arrays)
            self._end = at + 8 * sum(sizes)
            return Spilled(self._pid, at, sizes)

    def get(self, where: Spilled) -> tuple[NDArray[np.float64], ...] | None:
        """The arrays `put` wrote there, as views of this thread's buffer (valid until the thread's
        next get); None when they are not this process's or cannot be read."""
        total = sum(where.sizes)
        buffer = getattr(self._local, "buffer", None)
        if buffer is None or buffer.size < total:
            buffer = self._local.buffer = np.empty(total)
        with self._lock:
            if self._file is None or where.pid != self._pid or self._broken:
                return None
            try:
                self._file.seek(where.at)
                got = self._file.readinto(memoryview(buffer[:total]).cast("B"))
            except OSError:
                got = -1
        if got != 8 * total:
            return None
        ends = np.cumsum(where.sizes).tolist()
        return tuple(buffer[end - size:end] for size, end in zip(where.sizes, ends))


SPILL = _Spill()


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
