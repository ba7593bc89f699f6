"""Hits as text (BED, FIMO's TSV, GFF3) and the files they go to.

Every format writes scores as the shortest text that reads back to the same double (Python's
repr) and p- and q-values to 6 significant digits; rows are built natively, a table per call
(`morvane._scan.format_rows`). Tabs, newlines and carriage returns in names (motif ids and alt
names come from file headers and stems) become spaces in FIMO's TSV; in BED names they and spaces
become '_' (BED readers may split fields on any blank); in GFF3 attribute values they, and the
characters GFF3 reserves there, are percent-encoded.

`Output` is the file: standard output for "-"; a device or FIFO written in place; anything else
written to a temporary file beside its target (a symlink's target) and renamed onto it only when
complete, keeping an existing file's mode. What cannot be written, or would overwrite an input,
is refused before anything is written.
"""

import io
import os
import shlex
import stat
import sys
import tempfile
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from . import __version__

if TYPE_CHECKING:
    from .scan import Columns, Hits

FORMATS = ("bed", "fimo", "gff")
TAB, NEWLINE = b"\t", b"\n"
# format_rows' string modes
RAW, FIELD, GFF, WORD = 0, 1, 2, 3
P_DIGITS = 6


def bed_autosql(qvalue: bool) -> str:
    """The autoSql description of the BED that `morvane scan` writes (for bedToBigBed -as=)."""
    q = '   double qvalue;      "Benjamini-Hochberg q-value among every window tested for the motif"\n' \
        if qvalue else ""
    return ('table morvaneHits\n"Motif hits of morvane scan"\n(\n'
            '   string chrom;       "Reference sequence"\n'
            '   uint   chromStart;  "Start, 0-based"\n'
            '   uint   chromEnd;    "End, exclusive"\n'
            '   string name;        "Motif id"\n'
            '   uint   score;       "min(1000, round(-100 log10 p-value))"\n'
            '   char[1] strand;     "+ or -"\n'
            '   uint   thickStart;  "Start again"\n'
            '   uint   thickEnd;    "End again"\n'
            '   uint   reserved;    "itemRgb, 0"\n'
            '   string motifAlt;    "Motif alt name"\n'
            '   double motifScore;  "Log-odds score of the window"\n'
            '   double pvalue;      "p-value of the score"\n'
            f'{q}'
            '   string sequence;    "The window as read on its strand"\n)\n')


Piece = bytes | tuple[NDArray[Any], int] | tuple[NDArray[Any], int, list[bytes]]
Pieces = list[Piece]


def bed_score(pvalues: NDArray[np.float64]) -> NDArray[np.int64]:
    """BED's integer score of each hit: min(1000, round(-100 log10 p)); 0 for a NaN p-value."""
    with np.errstate(divide="ignore", invalid="ignore"):
        score = np.minimum(1000.0, np.rint(-100.0 * np.log10(pvalues)))
    return np.nan_to_num(score, nan=0.0).astype(np.int64)


def gff_score(pvalues: NDArray[np.float64]) -> NDArray[np.float64]:
    """GFF3's score of each hit, as FIMO gives it: min(1000, -10 log10 p)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.minimum(1000.0, -10.0 * np.log10(pvalues))


def command_line(words: Iterable[str]) -> str:
    """A command as one line of shell words: newlines and carriage returns as \\n and \\r."""
    return shlex.join(words).replace("\n", "\\n").replace("\r", "\\r")


class HitWriter:
    """Tables of hits written to a binary handle in one format: the header at once, rows as
    tables come, and (`close`) what the format puts last. `command` (one line) is recorded
    in a comment."""

    def __init__(self, handle: IO[bytes], format: str, qvalue: bool, command: str | None = None) -> None:
        if format not in FORMATS:
            raise ValueError(f"unknown output format {format!r}; choose from {', '.join(FORMATS)}")
        self.handle, self.format, self.qvalue, self.command = handle, format, qvalue, command
        self.numbered: dict[str | bytes, int] = {}     # GFF: hits written so far of each motif
        handle.write(self.header().encode("utf-8", "surrogateescape"))

    def comment(self) -> str:
        return f"# morvane {__version__}: {self.command}\n" if self.command is not None else ""

    def header(self) -> str:
        if self.format == "bed":
            q = "\tqvalue" if self.qvalue else ""
            return (self.comment() + "# chrom\tstart\tend\tname\tscore\tstrand\tthickStart\tthickEnd\titemRgb"
                    f"\tmotif_alt\tmotif_score\tpvalue{q}\tsequence\n")
        if self.format == "fimo":
            return ("motif_id\tmotif_alt_id\tsequence_name\tstart\tstop\tstrand\tscore\tp-value\tq-value"
                    "\tmatched_sequence\n")
        return "##gff-version 3\n" + self.comment()

    # Rows are made this many at a time: text of a MiB or so lands in memory malloc reuses from
    # call to call, where a whole table's many MiB would be fresh pages, faulted in at every call
    # for more time than the formatting takes.
    rows_per_call = 8192

    def write(self, hits: "Hits | Columns") -> None:
        for text in self.rows(hits):
            self.handle.write(text)

    def rows(self, hits: "Hits | Columns") -> "Rows":
        """The text of the rows of `hits`, to be made: their pieces are made now (GFF numbers the
        hits of each motif in the order the tables come), the text as it is iterated."""
        return Rows(self.pieces(hits) if len(hits) else [], len(hits), self.rows_per_call)

    def close(self) -> None:
        if self.format == "fimo":       # FIMO too ends its TSV with its command
            self.handle.write(self.comment().encode("utf-8", "surrogateescape"))

    def pieces(self, t: "Hits | Columns") -> Pieces:
        """format_rows' pieces of one row of `t`."""
        def text(name: str, mode: int) -> Piece:
            # Columns name motifs by index: each name escaped once, not gathered and escaped a row
            coded = getattr(t, "coded", {}).get(name)
            return (t[name], mode) if coded is None else (coded[0], mode, coded[1])
        chrom, start, end, motif, alt = (t["chrom"], FIELD), (t["start"], 0), (t["end"], 0), \
            text("motif", FIELD), text("motif_alt", FIELD)
        score, strand, p, sequence = (t["score"], 0), (t["strand"], RAW), (t["pvalue"], P_DIGITS), (t["sequence"], RAW)
        q: Pieces = [(t["qvalue"], P_DIGITS)] if self.qvalue else []
        if self.format == "bed":
            motif, alt = text("motif", WORD), text("motif_alt", WORD)
            return [chrom, TAB, start, TAB, end, TAB, motif, TAB, (bed_score(t["pvalue"]), 0), TAB, strand, TAB,
                    start, TAB, end, b"\t0\t", alt, TAB, score, TAB, p, TAB, *q, *([TAB] if q else []),
                    sequence, NEWLINE]
        first = (np.asarray(t["start"]) + 1, 0)        # both 1-based, inclusive
        if self.format == "fimo":
            return [motif, TAB, alt, TAB, chrom, TAB, first, TAB, end, TAB, strand, TAB, score, TAB, p, TAB,
                    *q, TAB, sequence, NEWLINE]
        value = {key: text(key, GFF) for key in ("chrom", "motif", "motif_alt")}
        return [chrom, b"\tmorvane\tnucleotide_motif\t", first, TAB, end, TAB, (gff_score(t["pvalue"]), 3), TAB,
                strand, b"\t.\tName=", value["motif"], b"_", value["chrom"], strand, b";Alias=", value["motif_alt"],
                b";ID=", value["motif"], b"-", value["motif_alt"], b"-", (self.numbers(t["motif"]), 0), b"-",
                value["chrom"], b";pvalue=", p, *([b";qvalue=", *q] if q else []), b";sequence=", sequence,
                b";\n"]

    def numbers(self, motifs: NDArray[np.str_ | np.bytes_]) -> NDArray[np.int64]:
        """Each hit's number among its motif's hits written so far, from 1 (FIMO's IDs carry it)."""
        names, which = np.unique(motifs, return_inverse=True)
        which = which.ravel()
        counts = np.bincount(which, minlength=len(names))
        before = np.array([self.numbered.get(name.item(), 0) for name in names], np.int64)
        order = np.argsort(which, kind="stable")
        firsts = np.cumsum(counts) - counts
        out = np.empty(len(which), np.int64)
        out[order] = np.arange(len(which)) - np.repeat(firsts - before, counts) + 1
        for name, total in zip(names, before + counts):
            self.numbered[name.item()] = int(total)
        return out


class Rows:
    """The text of a table's rows, made `step` rows a call as it is iterated (format_rows makes
    them without the GIL): a few pieces of bytes."""

    def __init__(self, pieces: Pieces, n: int, step: int) -> None:
        self.pieces, self.n, self.step = pieces, n, step

    def __len__(self) -> int:
        return self.n

    def __iter__(self) -> Iterator[bytes]:
        from ._scan import format_rows
        pieces, n, step = self.pieces, self.n, self.step
        for at in range(0, n, step):
            part = pieces if n <= step else [piece if isinstance(piece, bytes) else (piece[0][at:at + step], *piece[1:])
                                             for piece in pieces]
            yield format_rows(part, min(step, n - at))


class _Queued:
    """A table's rows in the writing queue: still to be made, being made (by the writer, or by
    the caller helping it), or made (`texts`)."""

    def __init__(self, rows: Rows) -> None:
        self.rows: Rows | None = rows
        self.n = len(rows)
        self.texts: list[bytes] | None = None
        self.taken = False


class WriteBehind:
    """A HitWriter's writing on a thread of its own, behind its caller: the text of a table is
    made (without the GIL) and written while the caller scans on. `write` hands a table on and
    raises what the writing has raised. While more than `rows` rows are queued (a chunk's hits
    come as many tables at once, so the room is a chunk's worth, not a few tables), the caller
    makes the text of the newest tables still to be made rather than wait, and `close` makes
    what remains of them before it waits for the end: when the text is the slower side, both
    threads make it. Leaving the `with` block with an exception stops the writing at the table
    being written."""

    def __init__(self, writer: HitWriter, rows: int = 1 << 21) -> None:
        self.writer, self.room = writer, rows
        self.queue: deque[_Queued | None] = deque()
        self.queued = 0                 # rows in the queue
        self.changed = threading.Condition()
        self.failure: BaseException | None = None
        self.stopped = False
        self.thread = threading.Thread(target=self._run, name="morvane-writer", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while True:
            with self.changed:
                while not self.queue or (self.queue[0] is not None and self.queue[0].taken
                                         and self.queue[0].texts is None):
                    self.changed.wait()     # nothing queued, or the caller is making the first
                entry = self.queue[0]
                if entry is None:
                    return
                texts: Iterable[bytes] = entry.texts if entry.texts is not None else entry.rows or ()
                entry.taken = True
            try:
                for text in texts if self._busy() else ():     # made as written, unless the caller made it
                    self.writer.handle.write(text)
                    if not self._busy():
                        break
            except BaseException as exc:  # noqa: BLE001 - raised again on the caller's thread
                self.failure = exc
            with self.changed:
                self.queue.popleft()
                self.queued -= entry.n
                self.changed.notify_all()

    def _busy(self) -> bool:
        # the writer drops what comes after a failure or a stop, so waits on this end
        return self.failure is None and not self.stopped

    def _help(self, done: Callable[[], bool]) -> None:
        """Makes the newest tables still to be made, and waits, until done()."""
        with self.changed:
            while self._busy() and not done():
                entry = next((e for e in reversed(self.queue) if e is not None and not e.taken), None)
                if entry is None:
                    self.changed.wait()
                    continue
                entry.taken = True
                self.changed.release()
                texts: list[bytes] = []
                try:
                    texts = list(entry.rows or ())
                except BaseException:
                    self.stopped = True
                    raise
                finally:
                    self.changed.acquire()
                    entry.texts, entry.rows = texts, None
                    self.changed.notify_all()

    def _raise(self) -> None:
        if self.failure is not None:
            failure, self.failure = self.failure, None
            self.stopped = True
            raise failure

    def write(self, hits: "Hits | Columns") -> None:
        self._raise()
        entry = _Queued(self.writer.rows(hits))     # here: in the order the tables come
        with self.changed:
            self.queue.append(entry)
            self.queued += entry.n
            self.changed.notify_all()
        self._help(lambda: self.queued <= self.room or len(self.queue) <= 1)

    def close(self) -> None:
        self._join()
        self._raise()
        self.writer.close()

    def _join(self) -> None:
        if self.thread.is_alive():
            with self.changed:
                self.queue.append(None)
                self.changed.notify_all()
            if not self.stopped:
                self._help(lambda: all(e is None or e.taken for e in self.queue))
            self.thread.join()

    def __enter__(self) -> "WriteBehind":
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if kind is not None:
            self.stopped = True
        self._join()


def write_hits(path: str | os.PathLike[str], tables: Iterable["Hits"], format: str, qvalue: bool,
               command: str | None = None) -> None:
    """Tables of hits written to `path` ("-": standard output) as one file of `format`."""
    if format not in FORMATS:
        raise ValueError(f"unknown output format {format!r}; choose from {', '.join(FORMATS)}")
    with Output(path) as handle:
        writer = HitWriter(handle, format, qvalue, command)
        for table in tables:
            writer.write(table)
        writer.close()


class Output:
    """A binary output file, checked when made: standard output for "-"; a device, FIFO or
    /proc/self/fd path written in place; else a temporary file in the directory of the target
    (a symlink followed to its target) renamed onto it when the `with` block ends without an
    exception, removed otherwise, with the existing file's mode (a new file's is 0666 less the
    umask). Whatever ends the run, but SIGKILL, removes the temporary file.

    Refused (OSError, before anything is written): an empty path, a directory (or a path ending
    in "/"), a missing directory, a file or directory we may not write (as root, a file with no
    write bit is refused too), and a file that is one of `inputs` ((what, path) pairs)."""

    def __init__(self, path: str | os.PathLike[str] | bytes,
                 inputs: Iterable[tuple[str, str | os.PathLike[str] | None]] = ()) -> None:
        self.path = path = os.fsdecode(path)
        self.handle: IO[bytes] | None = None
        self.fd = -1
        self.tmp: str | None = None      # the temporary file's name, while it has one
        self.mode: int | None = None     # kept mode; None for new files
        if path == "-":
            self.kind = "stdout"
            if sys.stdout is None:
                raise OSError("cannot write to standard output: it is closed")
            return
        if not path:
            raise OSError("cannot write '': the output path is empty")
        try:
            st: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            st = None
        except OSError as exc:
            raise OSError(f"cannot write {path}: {exc.strerror or exc}") from None
        if path.endswith(os.sep) or (st is not None and stat.S_ISDIR(st.st_mode)):
            raise OSError(f"cannot write {path}: it is a directory")
        for what, source in inputs:
            if source is not None and _same(path, st, source):
                shown = "standard input" if source == "-" else os.fsdecode(source)
                raise OSError(f"cannot write {path}: it is {what} ({shown}), an input")
        self.target = os.path.realpath(path)
        if st is not None and (not stat.S_ISREG(st.st_mode) or _standard_stream(st)):
            self.kind = "direct"          # a device, a FIFO, the file our stdout or stderr writes
            if not os.access(path, os.W_OK):
                raise OSError(f"cannot write {path}: permission denied")
            return
        self.kind = "atomic"
        self.directory = os.path.dirname(self.target)
        if st is not None:
            if not os.access(path, os.W_OK) or not st.st_mode & 0o222:
                raise OSError(f"cannot write {path}: permission denied (the file is read-only)")
            self.mode, self.owner = stat.S_IMODE(st.st_mode), (st.st_uid, st.st_gid)
        elif not os.path.isdir(self.directory):
            raise OSError(f"cannot write {path}: no such directory {self.directory}")
        if not os.access(self.directory, os.W_OK | os.X_OK):
            raise OSError(f"cannot write {path}: permission denied in {self.directory}")

    def __enter__(self) -> IO[bytes]:
        if self.kind == "stdout":
            assert sys.stdout is not None
            sys.stdout.flush()
            return sys.stdout.buffer
        if self.kind == "direct":
            self.handle = open(self.path, "wb")
            return self.handle
        mode = self.mode
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        try:
            self.fd, self.tmp = tempfile.mkstemp(prefix=".morvane-", suffix=".tmp", dir=self.directory)
            os.fchmod(self.fd, mode)
            if self.mode is not None and os.geteuid() == 0:
                try:
                    os.fchown(self.fd, *self.owner)
                except OSError:
                    pass
        except OSError as exc:
            self._discard()
            raise OSError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        self.handle = io.BufferedWriter(DropBehind(self.fd), 1 << 20)
        return self.handle

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self.kind == "stdout":
            if kind is None:
                assert sys.stdout is not None
                sys.stdout.buffer.flush()
            return
        handle, self.handle = self.handle, None
        if handle is None:
            return
        try:
            handle.close()        # flushes: a full disk shows here
            if kind is None and self.kind == "atomic":
                self._commit()
        finally:
            self._discard()

    def _commit(self) -> None:
        assert self.tmp is not None
        os.replace(self.tmp, self.target)
        self.tmp = None

    def _discard(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.tmp is not None:
            try:
                os.unlink(self.tmp)
            except FileNotFoundError:
                pass
            self.tmp = None


class DropBehind(io.FileIO):
    """A file descriptor (not closed with it) written from start to end, whose pages the system
    is asked to write out and drop from its cache once the file is past `keep` bytes, from `step`
    bytes behind the end: a genome's hits run to gigabytes, which would otherwise fill the page
    cache, evicting what other programs keep there (and on virtual machines, growing it costs
    more system time than the rows take to make). The data are the same; only clean pages are
    dropped."""

    def __init__(self, fd: int, keep: int = 1 << 28, step: int = 1 << 26) -> None:
        super().__init__(fd, "wb", closefd=False)
        self.keep, self.step = keep, step
        self.at = self.dropped = 0      # bytes written; below `dropped`, pages asked out for good
        self.next = keep

    def write(self, data: Any) -> int:
        n = super().write(data) or 0
        self.at += n
        if self.at >= self.next:
            self.next = self.at + self.step
            end = self.at - self.step
            try:
                # pages still under writeback stay: asked again, with those after them, next time
                os.posix_fadvise(self.fileno(), self.dropped, end - self.dropped, os.POSIX_FADV_DONTNEED)
            except OSError:
                pass
            self.dropped = max(end - 4 * self.step, 0)
        return n


def _same(path: str, st: os.stat_result | None, source: str | os.PathLike[str]) -> bool:
    """Whether `path` (`st` its stat, None when missing) is the input `source`: the same file, or
    the same name when neither exists yet (an index the run is about to write)."""
    if source == "-":           # standard input: `morvane scan - m.jaspar -o g.fa < g.fa`
        try:
            return st is not None and stat.S_ISREG(st.st_mode) and os.path.samestat(st, os.fstat(0))
        except OSError:
            return False
    if st is None:
        return not os.path.lexists(source) and os.path.realpath(path) == os.path.realpath(source)
    try:
        return os.path.samestat(st, os.stat(source))
    except OSError:
        return False


def _standard_stream(st: os.stat_result) -> bool:
    """Whether `st` is the file standard output or error already writes (-o /dev/stdout)."""
    for fd in (1, 2):
        try:
            if os.path.samestat(st, os.fstat(fd)):
                return True
        except OSError:
            pass
    return False
