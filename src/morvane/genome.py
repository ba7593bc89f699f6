"""Genomes to scan: FASTA read as nucleotide codes, BED regions checked against it, the genome's
background and GC content.

A genome is a FASTA file, plain or compressed by bgzip or gzip, or a stream of one (a pipe, a
FIFO, "-" for standard input). Every byte of a sequence line but ASCII whitespace is one base, so
coordinates are the text's own: a stray NUL or non-ASCII byte is an N in its place and never
moves the bases after it.

A plain or bgzip file is read by position, through the samtools index (.fai) beside it once the
index is checked against the file; a missing or out-of-date index is built again (and written
where the folder allows). Anything else is read in one pass: streams, plain gzip, files whose
lines vary in length within a record.

Regions are BED intervals: 0-based, half-open, named by the FASTA record they lie on.
"""

import bisect
import gzip
import io
import itertools
import operator
import os
import stat
import struct
import sys
import tempfile
import warnings
import zlib
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any, NamedTuple, Protocol

import numpy as np
from numpy.typing import NDArray

from ._scan import FastaParser, decode_lines

BLOCK = 1 << 22                 # bytes read at a time in one pass
FETCH_SIZE = 1 << 20            # bases at a time while counting
GAP_LIMIT = 1 << 24             # text between indexed records beyond which an index is not trusted
GZIP_MAGIC = b"\x1f\x8b"

Codes = NDArray[np.uint8]


class Region(NamedTuple):
    """An interval of one record: 0-based, half-open."""

    chrom: str
    start: int
    end: int


class Chunk(NamedTuple):
    """Bases [start, end) of a record, read to score the windows starting before start + limit."""

    chrom: str
    start: int
    end: int
    limit: int


class Entry(NamedTuple):
    """A record as a line of a samtools .fai gives it (line_bases 0: no line layout)."""

    name: str
    length: int
    offset: int
    line_bases: int
    line_width: int


Genome = str | os.PathLike[str] | Any          # a path, "-", a pysam.FastaFile or an open Fasta
Regions = str | os.PathLike[str] | Iterable[Any]


def chunk_intervals(intervals: Iterable[Region], size: int, overlap: int) -> Iterator[Chunk]:
    """Chunks owning `size` window starts each, read `overlap` bases further (within the interval)."""
    for region in intervals:
        for start in range(region.start, region.end, size):
            own_end = min(start + size, region.end)
            yield Chunk(region.chrom, start, min(own_end + overlap, region.end), own_end - start)


# ---------------------------------------------------------------- texts

class Text(Protocol):
    """The uncompressed text of a FASTA file."""

    size: int

    def read_at(self, offset: int, size: int) -> bytes: ...
    def pieces(self) -> Iterator[bytes]: ...


class PlainText:
    def __init__(self, handle: IO[bytes]) -> None:
        self.fd = handle.fileno()
        self.size = os.fstat(self.fd).st_size

    def read_at(self, offset: int, size: int) -> bytes:
        parts = []
        while size > 0 and (part := os.pread(self.fd, min(size, 1 << 30), offset)):
            parts.append(part)
            offset += len(part)
            size -= len(part)
        return b"".join(parts)

    def pieces(self) -> Iterator[bytes]:
        offset = 0
        while piece := os.pread(self.fd, BLOCK, offset):
            yield piece
            offset += len(piece)


class BgzfText:
    """A bgzip file, read by position through the offsets of its blocks (found by walking their
    headers, so they always describe the file as it is)."""

    def __init__(self, handle: IO[bytes], filename: str, blocks: tuple[list[int], list[int]]) -> None:
        self.fd = handle.fileno()
        self.filename = filename
        self.starts, self.text_starts = blocks   # compressed and uncompressed start of each block
        self.size = self.text_starts[-1]          # one more entry: the ends
        self.cached: tuple[int, bytes] = (-1, b"")

    @staticmethod
    def blocks(fd: int, size: int) -> tuple[list[int], list[int]] | None:
        """(compressed, uncompressed) starts of every block with text and the ends, or None
        when the file is not bgzip throughout."""
        starts, text_starts, at, text_at = [], [], 0, 0
        while at < size:
            head = os.pread(fd, 18, at)
            # gzip with FEXTRA, one extra field of 6 bytes: BC, 2, BSIZE
            if len(head) < 18 or head[:4] != b"\x1f\x8b\x08\x04" or head[10:16] != b"\x06\x00BC\x02\x00":
                return None
            end = at + struct.unpack_from("<H", head, 16)[0] + 1
            tail = os.pread(fd, 4, end - 4)
            if end > size or len(tail) < 4:
                return None
            text_size = struct.unpack("<I", tail)[0]
            if text_size:
                starts.append(at)
                text_starts.append(text_at)
            at, text_at = end, text_at + text_size
        return starts + [at], text_starts + [text_at]

    def block(self, i: int) -> bytes:
        if self.cached[0] == i:
            return self.cached[1]
        raw = os.pread(self.fd, self.starts[i + 1] - self.starts[i], self.starts[i])
        try:
            data = zlib.decompress(raw, 31)
        except zlib.error as exc:
            raise ValueError(f"{self.filename}: a damaged bgzip block at byte {self.starts[i]} "
                             f"({exc})") from None
        self.cached = (i, data)
        return data

    def read_at(self, offset: int, size: int) -> bytes:
        end = min(offset + size, self.size)
        parts = []
        i = bisect.bisect_right(self.text_starts, offset) - 1
        while 0 <= i < len(self.starts) - 1 and self.text_starts[i] < end:
            base = self.text_starts[i]
            parts.append(self.block(i)[max(offset - base, 0):end - base])
            i += 1
        return b"".join(parts)

    def pieces(self) -> Iterator[bytes]:
        return (self.block(i) for i in range(len(self.starts) - 1))

    def save_blocks(self, path: str) -> None:
        """The blocks as a .gzi (samtools' bgzip index): count, then (compressed, uncompressed)
        start of every block but the first."""
        pairs = list(zip(self.starts[1:-1], self.text_starts[1:-1]))
        write_beside(path, struct.pack(f"<Q{2 * len(pairs)}Q", len(pairs), *itertools.chain(*pairs)))


class Rejoined:
    """A binary stream whose first bytes were read already."""

    def __init__(self, first: bytes, rest: IO[bytes]) -> None:
        self.first, self.rest = first, rest

    def read(self, size: int = -1) -> bytes:
        if not self.first:
            return self.rest.read(size)
        part = self.first if size < 0 else self.first[:size]
        self.first = self.first[len(part):]
        return part


def gunzip(handle: Any, filename: str) -> Iterator[bytes]:
    """The text of gzip data (any number of members)."""
    try:
        with gzip.GzipFile(fileobj=handle, mode="rb") as text:
            while piece := text.read(BLOCK):
                yield piece
    except (OSError, EOFError, zlib.error) as exc:
        raise ValueError(f"{filename}: not readable as gzip ({exc})") from None


# ---------------------------------------------------------------- the records of a text

def record_name(raw: bytes) -> str:
    # surrogateescape: the bytes come back unchanged when an index is written
    return raw.decode("utf-8", "surrogateescape")


def header_name(line: bytes) -> str:
    words = line[1:].split(None, 1)
    return record_name(words[0] if words else b"")


def feed(parser: FastaParser, piece: bytes, out: Codes, filename: str) -> tuple[int, list[tuple[int, bytes, int]]]:
    try:
        return parser.feed(piece, out)
    except ValueError as exc:
        raise ValueError(f"{filename}, {exc}: not a FASTA file") from None


def second_record(filename: str, name: str, first: int, line: int) -> ValueError:
    """A second record of one name is refused: its hits could not be told from the first's."""
    where, before = (f", line {line}", f" (the first is on line {first})") if line else ("", "")
    return ValueError(f"{filename}{where}: a second record named {name!r}{before}; "
                      "record names must be unique")


def nameless_record(filename: str, line: int) -> ValueError:
    """A record without a name is refused: its hits would have no chromosome in the output."""
    return ValueError(f"{filename}{f', line {line}' if line else ''}: a record without a name (a '>' "
                      "header with nothing after it)")


def unique(names: Iterable[tuple[str, int]], filename: str) -> None:
    seen: dict[str, int] = {}
    for name, line in names:
        if not name:
            raise nameless_record(filename, line)
        if name in seen:
            raise second_record(filename, name, seen[name], line)
        seen[name] = line


def build_index(text: Text, filename: str) -> tuple[list[Entry], str | None]:
    """Every record of the text, in one pass, and why it cannot be read by position (None when
    it can)."""
    parser = FastaParser()
    out = np.empty(0, np.uint8)
    for piece in text.pieces():
        if len(out) < len(piece):
            out = np.empty(len(piece), np.uint8)
        feed(parser, piece, out, filename)
    records = parser.finish()
    unique(((record_name(raw), line) for raw, line, *_ in records), filename)
    entries = [Entry(record_name(raw), length, offset, bases, width)
               for raw, _, offset, length, bases, width in records]
    ragged = next((e.name for e in entries if e.length and not e.line_bases), None)
    return entries, None if ragged is None else f"the lines of record {ragged!r} vary in length"


def read_fai(path: str) -> list[Entry] | None:
    """The entries of a .fai; None without one, [] when it cannot be read as one."""
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except FileNotFoundError:
        return None
    except OSError:
        return []
    entries = []
    for line in data.splitlines():
        fields = line.split(b"\t")
        if len(fields) not in (5, 6) or not all(f.isdigit() for f in fields[1:]):
            return []
        entries.append(Entry(record_name(fields[0]), *(int(f) for f in fields[1:5])))
    return entries


def headers_between(text: bytes, after_record: bool) -> list[str] | None:
    """The names on the header lines of text lying between records (after a record when
    after_record: text starts on the rest of its last line), or None when a line holds bases."""
    lines = text.split(b"\n")
    if after_record:
        if lines[0].strip():
            return None
        lines = lines[1:]
    names = []
    for line in lines:
        if line.startswith(b">"):
            names.append(header_name(line))
        elif line.strip():
            return None
    return names


def check_index(text: Text, entries: list[Entry]) -> list[Entry] | None:
    """The entries, with the empty records samtools leaves out, when the text has each record's
    header right before its offset and nothing but headers and blank lines between the records
    as the layout places them; else None."""
    checked = []
    end = 0
    for k, entry in enumerate(entries):
        if (entry.length < 1 or entry.line_bases < 1 or entry.line_width <= entry.line_bases
                or not end < entry.offset <= end + GAP_LIMIT):
            return None
        gap = text.read_at(end, entry.offset - end)
        names = headers_between(gap[:-1], k > 0) if gap.endswith(b"\n") else None
        if not names or names[-1] != entry.name or not gap[:-1].rsplit(b"\n", 1)[-1].startswith(b">"):
            return None
        checked += [Entry(name, 0, 0, 0, 0) for name in names[:-1]]
        checked.append(entry)
        last = entry.length - 1
        end = entry.offset + last // entry.line_bases * entry.line_width + last % entry.line_bases + 1
    if not 0 <= text.size - end <= GAP_LIMIT:
        return None
    names = headers_between(text.read_at(end, text.size - end), bool(entries))
    if names is None:
        return None
    return checked + [Entry(name, 0, 0, 0, 0) for name in names]


def write_beside(path: str, data: bytes) -> None:
    """data as the file path, put in place whole; OSError when the folder cannot take it."""
    fd, tmp = tempfile.mkstemp(prefix=".morvane-", dir=os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def save_fai(path: str, entries: list[Entry]) -> None:
    # samtools leaves empty records out
    write_beside(path, b"".join(
        b"%s\t%d\t%d\t%d\t%d\n" % (e.name.encode("utf-8", "surrogateescape"), e.length, e.offset,
                                   e.line_bases, e.line_width) for e in entries if e.length))


# What was learnt of a file in this process (its blocks, its index), by the file's identity and
# change time: a Dask worker opens the genome once per chunk.
_learnt: dict[tuple[Any, ...], Any] = {}


def learnt(key: tuple[Any, ...], learn: Callable[[], Any]) -> Any:
    if key not in _learnt:
        value = learn()
        if len(_learnt) >= 32:
            del _learnt[next(iter(_learnt))]
        _learnt[key] = value
    return _learnt[key]


def index_of(text: Text, filename: str, index_path: str) -> tuple[list[Entry], str | None]:
    """The records of a file, and why it cannot be read by position (None when it can)."""
    fai = read_fai(index_path)
    checked = check_index(text, fai) if fai is not None else None
    if checked is not None:
        unique(((e.name, 0) for e in checked), filename)
        found: tuple[list[Entry], str | None] = (checked, None)
    else:
        found = build_index(text, filename)
        kept = f"the file is read in one pass: {found[1]}"
        if found[1] is None and any(e.length for e in found[0]):
            kept = "the index was rebuilt in memory (its folder cannot be written)"
            try:
                save_fai(index_path, found[0])
                if isinstance(text, BgzfText):
                    text.save_blocks(index_path[:-len(".fai")] + ".gzi")
                kept = "the index was written again"
            except OSError:
                pass
        if fai is not None:
            warnings.warn(f"{index_path} does not match {filename} (the FASTA changed after it was "
                          f"indexed?): {kept}", skip_file_prefixes=(os.path.dirname(__file__),))
    return found


# ---------------------------------------------------------------- genomes

class Fasta:
    """A genome open for reading.

    references, lengths: the records, in file order; known up front (`known`) for a file,
    filled in as a stream is read. path: the absolute path a Dask worker opens to read chunks
    by position; None when the genome is read in one pass, `reason` saying why.
    """

    def __init__(self, filename: str, path: str | None, reason: str | None, entries: list[Entry] | None,
                 handle: IO[bytes] | None) -> None:
        self.filename = filename
        self.path = path
        self.reason = reason
        self.known = entries is not None
        self.references: list[str] = [e.name for e in entries or ()]
        self.lengths: list[int] = [e.length for e in entries or ()]
        self.handle = handle

    def total_bases(self, regions: Sequence[Region] | None) -> int | None:
        """The window starts `chunks(regions, ...)` owns, or None while a stream's records are not known."""
        if regions is not None:
            return sum(region.end - region.start for region in regions)
        return sum(self.lengths) if self.known else None

    def chunks(self, regions: Sequence[Region] | None, size: int,
               overlap: int) -> Iterator[tuple[Chunk, Codes]]:
        """(chunk, codes) in genome order: the chunks of `chunk_intervals` for regions (from
        `read_regions`), or for every record when None, each with its bases' codes."""
        raise NotImplementedError

    def codes(self, chrom: str, start: int, end: int) -> Codes:
        """The codes of bases [start, end) of a record."""
        raise ValueError(f"{self.filename} is read in one pass ({self.reason}), not by position")

    def close(self) -> None:
        if self.handle is not None:
            self.handle.close()

    def __enter__(self) -> "Fasta":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class IndexedFasta(Fasta):
    """A plain or bgzip file read by position."""

    def __init__(self, filename: str, text: Text, entries: list[Entry], handle: IO[bytes]) -> None:
        super().__init__(filename, os.path.realpath(filename), None, entries, handle)
        self.text = text
        self.index = {e.name: e for e in entries}

    def chunks(self, regions: Sequence[Region] | None, size: int,
               overlap: int) -> Iterator[tuple[Chunk, Codes]]:
        for chunk in chunk_intervals(whole_records(self) if regions is None else regions, size, overlap):
            yield chunk, self.codes(chunk.chrom, chunk.start, chunk.end)

    def codes(self, chrom: str, start: int, end: int) -> Codes:
        entry = self.index.get(chrom)
        if entry is None:
            raise ValueError(f"{self.filename}: no record named {chrom!r}")
        if not 0 <= start <= end <= entry.length:
            raise ValueError(f"{self.filename}: {chrom}:{start}-{end} lies outside the record "
                             f"(length {entry.length})")
        out = np.empty(end - start, np.uint8)
        if end > start:
            width, bases = entry.line_width, entry.line_bases
            first = entry.offset + start // bases * width + start % bases
            last = entry.offset + (end - 1) // bases * width + (end - 1) % bases
            if not decode_lines(self.text.read_at(first, last + 1 - first), start % bases, bases, width, out):
                raise ValueError(f"{self.filename}: {chrom}:{start}-{end} is not laid out as its index "
                                 "says (the file changed while it was read?)")
        return out


class Cutter:
    """The chunks of one record's intervals, cut as its codes arrive: those `chunk_intervals`
    makes once the record's end clips the intervals."""

    def __init__(self, chrom: str, intervals: list[tuple[int, int]], size: int, overlap: int) -> None:
        self.chrom, self.size, self.overlap = chrom, size, overlap
        self.intervals = deque(intervals)
        self.at = intervals[0][0] if intervals else 0     # start of the next chunk
        self.held = np.empty(0, np.uint8)                  # codes of [base, base + fill)
        self.base = self.fill = 0
        self.seen = 0                                      # codes of the record so far

    def feed(self, codes: Codes) -> Iterator[tuple[Chunk, Codes]]:
        n = len(codes)
        if self.intervals:
            skip = min(max(self.at - self.seen, 0), n)     # bases before the next chunk
            if skip or not self.fill:
                self.base, self.fill = self.seen + skip, 0
            self.hold(codes[skip:])
        self.seen += n
        yield from self.cut(False)

    def hold(self, codes: Codes) -> None:
        drop = self.at - self.base
        kept = self.fill - drop
        if kept + len(codes) > len(self.held):
            grown = np.empty(max(kept + len(codes), 2 * len(self.held)), np.uint8)
            grown[:kept] = self.held[drop:self.fill]
            self.held, self.base, self.fill = grown, self.at, kept
        elif self.fill + len(codes) > len(self.held):
            self.held[:kept] = self.held[drop:self.fill]
            self.base, self.fill = self.at, kept
        self.held[self.fill:self.fill + len(codes)] = codes
        self.fill += len(codes)

    def cut(self, final: bool) -> Iterator[tuple[Chunk, Codes]]:
        """The chunks whose bases are all in; at the record's end (final), the rest."""
        while self.intervals:
            start, end = self.intervals[0]
            if final:
                end = min(end, self.seen)
            if self.at >= end:
                self.intervals.popleft()
                if self.intervals:
                    self.at = self.intervals[0][0]
                continue
            own_end = min(self.at + self.size, end)
            read_end = min(own_end + self.overlap, end)
            if read_end > self.seen:
                return
            codes = self.held[self.at - self.base:read_end - self.base].copy()
            yield Chunk(self.chrom, self.at, read_end, own_end - self.at), codes
            self.at = own_end


class FastaStream(Fasta):
    """A genome read in one pass: a stream, plain gzip, or a file whose lines vary in length."""

    def __init__(self, filename: str, reason: str, pieces: Callable[[], Iterator[bytes]],
                 entries: list[Entry] | None = None, handle: IO[bytes] | None = None,
                 once: bool = False) -> None:
        super().__init__(filename, None, reason, entries, handle)
        self.pieces = pieces
        self.once = once          # a stream: it cannot be read again
        self.read = False

    def chunks(self, regions: Sequence[Region] | None, size: int,
               overlap: int) -> Iterator[tuple[Chunk, Codes]]:
        if self.once and self.read:
            raise ValueError(f"{self.filename} is a stream and was read already: it can be read once")
        self.read = True
        wanted: dict[str, list[tuple[int, int]]] | None = None
        if regions is not None:
            wanted = {}
            for region in regions:
                wanted.setdefault(region.chrom, []).append((region.start, region.end))
        parser = FastaParser()
        out = np.empty(0, np.uint8)
        seen: dict[str, int] = {}          # header line of each record so far
        cutter: Cutter | None = None

        def begin(raw: bytes, line: int) -> Cutter:
            name = record_name(raw)
            if not name:
                raise nameless_record(self.filename, line)
            if name in seen:
                raise second_record(self.filename, name, seen[name], line)
            seen[name] = line
            return Cutter(name, [(0, sys.maxsize)] if wanted is None else wanted.get(name, []), size, overlap)

        def end(cutter: Cutter) -> Iterator[tuple[Chunk, Codes]]:
            yield from cutter.cut(True)
            if not self.known:
                self.references.append(cutter.chrom)
                self.lengths.append(cutter.seen)

        for piece in self.pieces():
            if len(out) < len(piece):
                out = np.empty(len(piece), np.uint8)
            count, starts = feed(parser, piece, out, self.filename)
            at = 0
            for index, raw, line in starts:
                if cutter is not None:
                    yield from cutter.feed(out[at:index])
                    yield from end(cutter)
                cutter, at = begin(raw, line), index
            if cutter is not None:
                yield from cutter.feed(out[at:count])
        records = parser.finish()
        if cutter is not None:
            yield from end(cutter)
        for raw, line, *_ in records[len(seen):]:       # a last header with no line end
            yield from end(begin(raw, line))
        if wanted:
            lengths = dict(zip(self.references, self.lengths))
            for chrom, intervals in wanted.items():
                if chrom not in lengths:
                    start, stop = intervals[0]
                    raise ValueError(f"region {chrom}:{start}-{stop}: unknown chromosome {chrom!r}")


def stream_of(handle: IO[bytes], filename: str, reason: str, owned: IO[bytes] | None = None) -> FastaStream:
    """A stream read once, gzip or not; `owned` is closed with it."""
    first = handle.read(len(GZIP_MAGIC))
    if first == GZIP_MAGIC:
        def pieces() -> Iterator[bytes]:
            return gunzip(Rejoined(first, handle), filename)
    else:
        def pieces() -> Iterator[bytes]:
            return itertools.chain([first], iter(lambda: handle.read(BLOCK), b""))
    return FastaStream(filename, reason, pieces, handle=owned, once=True)


def open_fasta(genome: Genome) -> Fasta:
    """The genome open for reading (see the module's docstring for the roads taken)."""
    if hasattr(genome, "fetch") and hasattr(genome, "filename"):   # a pysam.FastaFile
        genome = os.fsdecode(genome.filename)
    if not isinstance(genome, (str, os.PathLike)):
        raise TypeError(f"genome must be a FASTA path, '-' or a pysam.FastaFile, not {type(genome).__name__}")
    filename = os.fsdecode(genome)
    if filename == "-":
        if sys.stdin is None:
            raise OSError("cannot read standard input: it is closed")
        return stream_of(sys.stdin.buffer, "<stdin>", "standard input")
    handle = open(filename, "rb", buffering=0)
    try:
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode):
            return stream_of(io.BufferedReader(handle, BLOCK), filename, "a stream", handle)
        key = (os.path.realpath(filename), info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)
        text: Text
        if os.pread(handle.fileno(), len(GZIP_MAGIC), 0) == GZIP_MAGIC:
            blocks = learnt(("blocks", *key), lambda: BgzfText.blocks(handle.fileno(), info.st_size))
            if blocks is None:
                def gunzipped() -> Iterator[bytes]:
                    handle.seek(0)
                    return gunzip(handle, filename)
                return FastaStream(filename, "gzip, not bgzip", gunzipped, handle=handle)
            text = BgzfText(handle, filename, blocks)
        else:
            text = PlainText(handle)
        # a FASTA behind /dev/stdin or /proc/self/fd/N: its index lies beside the file itself
        indexed = os.path.realpath(filename) if filename.startswith(("/dev/", "/proc/")) else filename
        entries, reason = learnt(("index", *key), lambda: index_of(text, filename, indexed + ".fai"))
        if reason is not None:
            return FastaStream(filename, reason, text.pieces, entries, handle)
        return IndexedFasta(filename, text, entries, handle)
    except BaseException:
        handle.close()
        raise


class open_genome:
    """A context of the genome open for reading; a Fasta passed in stays open."""

    def __init__(self, genome: Genome) -> None:
        self.genome = genome
        self.owned: Fasta | None = None

    def __enter__(self) -> Fasta:
        if isinstance(self.genome, Fasta):
            return self.genome
        self.owned = open_fasta(self.genome)
        return self.owned

    def __exit__(self, *exc: object) -> None:
        if self.owned is not None:
            self.owned.close()


# ---------------------------------------------------------------- regions

def whole_records(fasta: Fasta) -> list[Region]:
    return [Region(chrom, 0, length) for chrom, length in zip(fasta.references, fasta.lengths)]


def read_regions(regions: Regions, fasta: Fasta) -> list[Region]:
    """Regions checked against the genome, clipped to record ends, merged where they overlap (not
    where they only touch: no window spans the end of one and the start of the next), in genome
    order. A stream's records are not known yet: its regions come in the order of their
    chromosomes' first appearance and are checked and clipped while it is read (`Fasta.chunks`)."""
    return merge_regions(clip_regions(regions, fasta), fasta)


def merge_regions(regions: list[Region], fasta: Fasta) -> list[Region]:
    order = {chrom: i for i, chrom in enumerate(fasta.references if fasta.known else
                                                dict.fromkeys(r.chrom for r in regions))}
    merged: list[Region] = []
    for region in sorted(regions, key=lambda r: (order[r.chrom], r.start)):
        if merged and merged[-1].chrom == region.chrom and region.start < merged[-1].end:
            merged[-1] = merged[-1]._replace(end=max(merged[-1].end, region.end))
        else:
            merged.append(region)
    return merged


def clip_regions(regions: Regions, fasta: Fasta) -> list[Region]:
    """Regions (a BED path or intervals) in their order, checked against the genome and
    clipped to record ends; those left empty are dropped (on a stream, as it is read)."""
    intervals: Iterable[Any] = read_bed(regions) if isinstance(regions, (str, os.PathLike)) else regions
    lengths = dict(zip(fasta.references, fasta.lengths)) if fasta.known else None
    clipped = []
    for region in intervals:
        if hasattr(region, "chrom"):
            chrom, start, end = region.chrom, region.start, region.end
        else:
            fields = tuple(region) if isinstance(region, Iterable) and not isinstance(region, (str, bytes)) else ()
            if len(fields) < 3:
                raise ValueError(f"region {region!r}: expected chrom, start, end (an interval or a tuple)")
            chrom, start, end = fields[:3]
        try:
            start, end = operator.index(start), operator.index(end)
        except TypeError:
            raise ValueError(f"region {chrom}:{start}-{end}: start and end must be integers") from None
        if lengths is not None and chrom not in lengths:
            raise ValueError(f"region {chrom}:{start}-{end}: unknown chromosome {chrom!r}")
        if start < 0 or end < start:
            raise ValueError(f"region {chrom}:{start}-{end}: start must be >= 0 and <= end")
        if lengths is not None:
            end = min(end, lengths[chrom])
        if start < end:
            clipped.append(Region(chrom, start, end))
    return clipped


def read_bed(path: str | os.PathLike[str]) -> list[Region]:
    """The (chrom, start, end) of every interval of a BED file."""
    regions = []
    with open(path, "rb") as handle:
        for number, raw in enumerate(handle, 1):
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as exc:
                raise ValueError(f"{os.fsdecode(path)}, line {number}: not UTF-8 text (byte "
                                 f"{raw[exc.start]:#04x} at column {exc.start + 1})") from None
            fields = line.split()
            if not fields or fields[0].startswith("#") or fields[0] in ("track", "browser"):
                continue
            where = f"{os.fsdecode(path)}, line {number}"
            if len(fields) < 3:
                raise ValueError(f"{where}: a BED line needs chrom, start, end; got {line.strip()!r}")
            start, end = (bed_coordinate(field, name, where) for field, name in zip(fields[1:3], ("start", "end")))
            if end < start:
                raise ValueError(f"{where}: end {end} lies before start {start}")
            regions.append(Region(fields[0], start, end))
    return regions


def bed_coordinate(field: str, name: str, where: str) -> int:
    if field.isascii() and field.isdigit():
        return int(field)
    if field.startswith("-") and field[1:].isascii() and field[1:].isdigit():
        raise ValueError(f"{where}: {name} {field} is negative; BED coordinates start at 0")
    raise ValueError(f"{where}: {name} must be written in the digits 0 to 9, got {field!r}")


# ---------------------------------------------------------------- what is counted over a genome

def genome_background(genome: Genome) -> NDArray[np.float64]:
    """Base probabilities (A, C, G, T) of every record of `genome`, both strands.

    Counting both strands makes A = T and C = G, the right null for scanning both
    strands; one pseudo-count per base, as the module's background has."""
    if isinstance(genome, FastaStream) and genome.once:
        raise ValueError(f"{genome.filename} is a stream, read once: the genome's background, measured "
                         "before a scan, needs a file (or give the background itself)")
    counts = np.ones(5)
    with open_genome(genome) as fasta:
        for _, codes in fasta.chunks(None, FETCH_SIZE, 0):
            counts += np.bincount(codes, minlength=5)[:5]
    a_t = counts[0] + counts[1]
    c_g = counts[2] + counts[3]
    background: NDArray[np.float64] = np.array([a_t, c_g, c_g, a_t]) / (2 * (a_t + c_g))
    return background


def gc_content(genome: Genome, regions: Regions) -> float:
    """The pooled GC fraction of regions (a BED path or intervals): their G and C bases over their
    summed lengths, each region checked and clipped as a scan does, but not merged, so a base in
    two regions counts twice. ValueError when no region lies within the genome."""
    with open_genome(genome) as fasta:
        wanted = clip_regions(regions, fasta)
        # cumulative G and C counts of each record's union of regions at every region end
        points = {chrom: np.unique([r.start for r in wanted if r.chrom == chrom]
                                   + [r.end for r in wanted if r.chrom == chrom])
                  for chrom in dict.fromkeys(r.chrom for r in wanted)}
        counted = {chrom: np.full(len(p), -1, np.int64) for chrom, p in points.items()}
        before = dict.fromkeys(points, 0)
        for chunk, codes in fasta.chunks(merge_regions(wanted, fasta), FETCH_SIZE, 0):
            p = points[chunk.chrom]
            lo, hi = np.searchsorted(p, chunk.start), np.searchsorted(p, chunk.end, "right")
            cumulative = np.concatenate(([0], np.cumsum((codes == 2) | (codes == 3))))    # C, G
            counted[chunk.chrom][lo:hi] = before[chunk.chrom] + cumulative[p[lo:hi] - chunk.start]
            before[chunk.chrom] += int(cumulative[-1])
        lengths = dict(zip(fasta.references, fasta.lengths))
    gc = total = 0
    for chrom, c in counted.items():
        c[c < 0] = before[chrom]        # past a stream's record end
    for region in wanted:
        p, c, length = points[region.chrom], counted[region.chrom], lengths[region.chrom]
        gc += int(c[np.searchsorted(p, region.end)] - c[np.searchsorted(p, region.start)])
        total += min(region.end, length) - min(region.start, length)
    if not total:
        raise ValueError(f"{os.fsdecode(regions) if isinstance(regions, (str, os.PathLike)) else 'regions'}: "
                         "no regions within the genome")
    return gc / float(total)
