"""Motif files read into records: one reader per layout, the layout guessed when not given.

Every reader takes a `Source` (the file's name and lines) and returns a `MotifFile` of `Record`s,
each matrix in rows A, C, G, T and of the kind the file means: counts, probabilities, log-odds
weights or aligned sites. A file that does not read as its format is a ValueError naming the file
and the line. Turning records into scoring matrices is `morvane.motifs`' work.
"""

import gzip
import os
import re
import sys
import warnings
import zlib
from collections.abc import Callable
from pathlib import Path

from .meme import read_meme
from .records import MotifFile, Record, Source, fail, is_site, numbers
from .sites import read_lines, read_sites
from .tables import (
    read_counts,
    read_counts_columns,
    read_hocomoco_pcm,
    read_hocomoco_pwm,
    read_homer,
    read_jaspar,
    read_transfac,
)

__all__ = ["FORMATS", "FrequencyNote", "MotifFile", "Record", "Source", "guess_format", "open_source",
           "read_motif_file"]

Reader = Callable[[Source], MotifFile]

FORMATS: dict[str, Reader] = {
    "jaspar": read_jaspar,                  # ">ID name" headers, four rows A, C, G, T (bracketed or plain)
    "pfm": read_counts,                     # JASPAR .pfm: four rows of counts, no header
    "meme": read_meme,                      # MEME minimal (text) format
    "transfac": read_transfac,
    "homer": read_homer,                    # HOMER .motif: ">consensus<TAB>name<TAB>...", a row per position
    "hocomoco-pcm": read_hocomoco_pcm,      # ">name", a row of counts per position
    "hocomoco-pwm": read_hocomoco_pwm,      # ">name", a row of log-odds weights per position
    "counts": read_counts,                  # four rows A, C, G, T
    "counts-columns": read_counts_columns,  # a row of four numbers (A, C, G, T) per position
    "sites": read_sites,                    # JASPAR .sites: ">header", then the site, flanks in lower case
    "lines": read_lines,                    # one aligned site per line
}

SUFFIXES = {".jaspar": "jaspar", ".pfm": "pfm", ".meme": "meme", ".transfac": "transfac", ".sites": "sites",
            ".motif": "homer", ".motifs": "homer", ".pcm": "hocomoco-pcm", ".pwm": "hocomoco-pwm"}
# A TRANSFAC line: a two-letter key, then white space or nothing.
TRANSFAC_KEY = re.compile(r"(AC|ID|VV|XX|DE|P0|PO|NA|BF|BA|CC|//)(\s|$)")
BASE_LABEL = re.compile(r"[ACGTacgt]\s*[:|\[]?\s*[-+.\d]")


class FrequencyNote(UserWarning):
    """A count-format file that holds frequencies (every column sums to 1): read as probabilities."""


def open_source(path: str | os.PathLike[str]) -> Source:
    """The lines of a motif file: `-` is standard input; gzip is recognised by its magic bytes;
    a UTF-8 byte-order mark is dropped; CR LF and CR line ends read as LF."""
    if str(path) == "-":
        name, stem = "<stdin>", "stdin"
        stream = sys.stdin
        if stream is None:
            raise OSError("cannot read standard input: it is closed")
        data = stream.buffer.read() if hasattr(stream, "buffer") else stream.read().encode()
    else:
        name, stem = str(path), _stem(Path(path))
        with open(path, "rb") as handle:
            data = handle.read()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as exc:
            raise ValueError(f"{name}: not a readable gzip file ({exc})") from None
    if data[:4] == b"PK\x03\x04":
        raise ValueError(f"{name}: a zip archive, not a motif file (a morvane model file is read from "
                         "a file's path, not a stream)")
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise ValueError(f"{name}: line {line}: not UTF-8 text (byte 0x{data[exc.start]:02x})") from None
    suffix = _suffix(Path(str(path))) if name != "<stdin>" else ""
    return Source(name, stem, suffix, text.splitlines())


def _suffix(path: Path) -> str:
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] == ".gz":
        suffixes.pop()
    return suffixes[-1] if suffixes else ""


def _stem(path: Path) -> str:
    name = path.name
    return name[:-3] if name.lower().endswith(".gz") and len(name) > 3 else path.stem if "." in name else name


def read_motif_file(path: str | os.PathLike[str], format: str | None = None) -> MotifFile:
    """The records of a motif file, read as `format` (guessed when None), ids checked unique."""
    source = open_source(path)
    if format is not None and format not in FORMATS:
        raise ValueError(f"{source.name}: unknown motif format {format!r}; choose from {', '.join(FORMATS)}")
    fmt = format or guess_format(source)
    motifs = FORMATS[fmt](source)
    if not motifs.records:
        raise ValueError(f"{source.name}: no motif found (read as {fmt})")
    _check_unique(source, motifs.records)
    _note_frequencies(source, motifs.records)
    return motifs


def _check_unique(source: Source, records: list[Record]) -> None:
    lines: dict[str, list[int]] = {}
    for record in records:
        lines.setdefault(record.id, []).append(record.line)
    for id, where in lines.items():
        if len(where) > 1:
            raise ValueError(f"{source.name}: motif id {id!r} is used more than once "
                             f"(lines {', '.join(map(str, where))}); ids must be unique within a file")


def _note_frequencies(source: Source, records: list[Record]) -> None:
    read_as = [r.id for r in records if r.frequencies_in_counts]
    if read_as:
        shown = ", ".join(read_as[:5]) + (f" and {len(read_as) - 5} more" if len(read_as) > 5 else "")
        warnings.warn(f"{source.name}: {len(read_as)} of {len(records)} count matrices hold frequencies "
                      f"(every column sums to 1), read as probabilities: {shown}", FrequencyNote, stacklevel=4)


def guess_format(source: Source) -> str:
    """The format of a file from its suffix, else its content; an error when the content is ambiguous."""
    body = [(n, line.strip()) for n, line in source.numbered() if not line.lstrip().startswith("#")]
    if not body:
        raise ValueError(f"{source.name}: empty motif file")
    first = body[0][1]
    by_suffix = SUFFIXES.get(source.suffix)
    if by_suffix == "pfm" and first.startswith(">"):
        return "jaspar"       # JASPAR's own .pfm downloads start with a ">ID name" header
    if by_suffix is not None:
        return by_suffix
    if first.startswith("MEME version"):
        return "meme"
    if first.startswith(">"):
        return _guess_headed(source, body)
    if all(is_site(line) for _, line in body):
        return "lines"
    if TRANSFAC_KEY.match(first):
        return "transfac"
    return _guess_table(source, body, "counts", "counts-columns")


def _guess_headed(source: Source, body: list[tuple[int, str]]) -> str:
    blocks: list[list[tuple[int, str]]] = []
    for n, line in body:
        if line.startswith(">"):
            blocks.append([(n, line)])
        else:
            blocks[-1].append((n, line))
    rows = [line for block in blocks for _, line in block[1:]]
    if rows and all(is_site(line) for line in rows):
        return "sites"
    if _homer_header(blocks[0][0][1]):
        return "homer"
    if rows and BASE_LABEL.match(rows[0]):
        return "jaspar"
    for block in blocks:
        layout = _layout(source, block[1:])
        if layout == "rows":
            return "jaspar"
        if layout == "columns":
            weights = any(v < 0 for n, line in block[1:] for v in numbers(source, n, line))
            return "hocomoco-pwm" if weights else "hocomoco-pcm"
    raise ValueError(f"{source.name}: cannot tell whether the matrices hold a row per base (JASPAR) or a row "
                     "per position (HOCOMOCO): every one is 4 x 4; give the format")


def _guess_table(source: Source, body: list[tuple[int, str]], rows: str, columns: str) -> str:
    if BASE_LABEL.match(body[0][1]):
        return rows
    if sorted(body[0][1].upper().split()) == list("ACGT"):
        return columns        # a header naming the columns
    layout = _layout(source, body)
    if layout == "rows":
        return rows
    if layout == "columns":
        return columns
    raise ValueError(f"{source.name}: cannot tell the motif format (a 4 x 4 matrix reads as rows A, C, G, T "
                     "or as a row per position); give the format")


def _layout(source: Source, rows: list[tuple[int, str]]) -> str | None:
    """"rows" (four rows, one per base), "columns" (rows of four, one per position) or None when 4 x 4."""
    widths = [len(numbers(source, n, line)) for n, line in rows]
    if len(widths) == 4 and widths == [4] * 4:
        return None
    if widths and all(w == 4 for w in widths):
        return "columns"
    if len(widths) == 4:
        return "rows"
    fail(source, rows[0][0] if rows else 0,
         f"cannot tell the motif format from {len(widths)} rows of {sorted(set(widths))} numbers; give the format")


def _homer_header(line: str) -> bool:
    fields = line[1:].split("\t")
    if len(fields) < 3:
        return False
    try:
        float(fields[2])
    except ValueError:
        return False
    return True
