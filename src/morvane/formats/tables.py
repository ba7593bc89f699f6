"""Matrices as tables of numbers: JASPAR, plain counts, HOMER, HOCOMOCO and TRANSFAC files."""

import re

import numpy as np
from numpy.typing import NDArray

from .records import (
    BASES,
    MotifFile,
    Record,
    Source,
    counts_or_frequencies,
    fail,
    numbers,
    probabilities,
)

# A row of a base-per-row matrix: an optional base label (A, "A:", "A |"), then numbers.
LABELLED = re.compile(r"\s*([ACGTacgt])(?![\d.eE+-]*\d)\s*:?\s*(.*)")

Lines = list[tuple[int, str]]


def _blocks(source: Source) -> tuple[Lines, list[tuple[int, str, Lines]]]:
    """Lines before the first ">" header, and (line, header text, lines) of each headed block."""
    head: Lines = []
    blocks: list[tuple[int, str, Lines]] = []
    for n, line in source.numbered():
        if line.lstrip().startswith(">"):
            blocks.append((n, line.strip()[1:], []))
        elif line.lstrip().startswith("#"):
            continue
        elif blocks:
            blocks[-1][2].append((n, line))
        else:
            head.append((n, line))
    return head, blocks


def base_rows(source: Source, rows: Lines, at: int, what: str) -> NDArray[np.float64]:
    """Four rows, one per base: labelled A, C, G, T in any order, or unlabelled in that order."""
    if len(rows) != 4:
        where = rows[4][0] if len(rows) > 4 else (rows[-1][0] if rows else at)
        fail(source, where, f"{what}: {len(rows)} rows, expected four (A, C, G, T)")
    labels, values = [], []
    for n, line in rows:
        match = LABELLED.match(line)
        label, rest = (match.group(1).upper(), match.group(2)) if match else (None, line)
        labels.append(label)
        values.append((n, numbers(source, n, rest)))
    if any(labels) and sorted(str(label) for label in labels) != list(BASES):
        fail(source, rows[0][0], f"{what}: rows labelled {labels}, expected A, C, G and T once each")
    order = [labels.index(base) for base in BASES] if any(labels) else [0, 1, 2, 3]
    widths = {len(v) for _, v in values}
    if len(widths) > 1:
        n = next(n for n, v in values if len(v) != len(values[0][1]))
        fail(source, n, f"{what}: rows of different lengths {[len(v) for _, v in values]}")
    if not values[0][1]:
        fail(source, rows[0][0], f"{what}: no numbers in the rows")
    return np.array([values[i][1] for i in order], dtype=np.float64)


def position_rows(source: Source, rows: Lines, at: int, what: str,
                  columns: str = BASES, extra: bool = False) -> NDArray[np.float64]:
    """A row of four numbers per position, in the base order `columns` names; `extra` allows a
    leading position number and a trailing consensus letter (TRANSFAC)."""
    if not rows:
        fail(source, at, f"{what}: no matrix rows")
    out = []
    for n, line in rows:
        tokens = line.split()
        if extra:
            if tokens and tokens[-1].isalpha():
                tokens = tokens[:-1]
            tokens = tokens[1:]
        values = numbers(source, n, " ".join(tokens))
        if len(values) != 4:
            fail(source, n, f"{what}: {len(values)} numbers in a matrix row, expected four")
        out.append(values)
    matrix = np.array(out, dtype=np.float64).T
    return matrix[[columns.index(base) for base in BASES]]


def _counts(id: str, name: str, line: int, matrix: NDArray[np.float64]) -> Record:
    return counts_or_frequencies(Record(id, name, "counts", line, matrix))


def _header(text: str) -> tuple[str, str]:
    parts = text.split(None, 1)
    if not parts:
        return "", ""
    return parts[0], parts[1].strip() if len(parts) > 1 else parts[0]


def read_jaspar(source: Source) -> MotifFile:
    head, blocks = _blocks(source)
    if head:
        fail(source, head[0][0], "a matrix row before the first '>' header")
    records = []
    for at, text, rows in blocks:
        if "\t" in text and len(text.split("\t")) >= 3:
            fail(source, at, "a HOMER motif header in a JASPAR file; read it as format 'homer'")
        id, name = _header(text)
        if not id:
            fail(source, at, "a '>' header without a matrix id")
        records.append(_counts(id, name, at, base_rows(source, rows, at, f"motif {id!r}")))
    return MotifFile(source.name, "jaspar", records)


def read_counts(source: Source) -> MotifFile:
    rows = [(n, line) for n, line in source.numbered() if not line.lstrip().startswith("#")]
    if rows and rows[0][1].lstrip().startswith(">"):
        fail(source, rows[0][0], "a '>' header in a headerless count file; read it as format 'jaspar'")
    matrix = base_rows(source, rows, 1, "count matrix")
    return MotifFile(source.name, "counts", [_counts(source.stem, source.stem, rows[0][0], matrix)])


def read_counts_columns(source: Source) -> MotifFile:
    rows = [(n, line) for n, line in source.numbered() if not line.lstrip().startswith("#")]
    columns = BASES
    if rows and sorted(rows[0][1].upper().split()) == list(BASES):
        columns = "".join(rows[0][1].upper().split())
        rows = rows[1:]
    matrix = position_rows(source, rows, 1, "count matrix", columns)
    return MotifFile(source.name, "counts-columns", [_counts(source.stem, source.stem, rows[0][0], matrix)])


def _headed(source: Source, fmt: str) -> list[tuple[int, str, Lines]]:
    head, blocks = _blocks(source)
    if head:
        fail(source, head[0][0], f"a matrix row before the first '>' header ({fmt} file)")
    return blocks


def read_homer(source: Source) -> MotifFile:
    """HOMER: ">consensus<TAB>name<TAB>log-odds threshold...", then a row of probabilities per position."""
    records = []
    for at, text, rows in _headed(source, "HOMER"):
        fields = text.split("\t")
        id = (fields[1] if len(fields) > 1 else fields[0]).strip()
        if not id:
            fail(source, at, "a HOMER header without a motif name")
        what = f"motif {id!r}"
        matrix = probabilities(source, at, position_rows(source, rows, at, what), what)
        records.append(Record(id, id, "probabilities", at, matrix))
    return MotifFile(source.name, "homer", records)


def _hocomoco(source: Source) -> list[tuple[str, int, NDArray[np.float64]]]:
    out = []
    for at, text, rows in _headed(source, "HOCOMOCO"):
        id = text.split()[0] if text.split() else ""
        if not id:
            fail(source, at, "a '>' header without a motif name")
        out.append((id, at, position_rows(source, rows, at, f"motif {id!r}")))
    return out


def read_hocomoco_pcm(source: Source) -> MotifFile:
    records = [_counts(id, id, at, m) for id, at, m in _hocomoco(source)]
    return MotifFile(source.name, "hocomoco-pcm", records)


def read_hocomoco_pwm(source: Source) -> MotifFile:
    """Log-odds weights, scored as given. A matrix of no negative entry cannot be log-odds: one of
    columns summing to 1 is read as probabilities (with a note), anything else is refused."""
    records = []
    for id, at, m in _hocomoco(source):
        if np.all(m >= 0):
            record = _counts(id, id, at, m)
            if not record.frequencies_in_counts:
                fail(source, at, f"motif {id!r}: no weight below 0, so not log-odds weights; "
                                 "if it holds counts, read it as format 'hocomoco-pcm'")
        else:
            record = Record(id, id, "weights", at, m)
        records.append(record)
    return MotifFile(source.name, "hocomoco-pwm", records)


def read_transfac(source: Source) -> MotifFile:
    """TRANSFAC: entries ended by "//"; AC is the id (ID when there is no AC), ID or NA the name;
    "P0" (or "PO") names the base columns, numbered rows follow."""
    records: list[Record] = []
    entry: dict[str, str] = {}
    rows: Lines = []
    columns, start, matrix_at = "", 0, 0

    def close(n: int) -> None:
        nonlocal entry, rows, columns, start
        if columns:
            id = entry.get("AC") or entry.get("ID") or ""
            if not id:
                fail(source, start, "a TRANSFAC matrix without AC or ID")
            name = (entry.get("ID") if entry.get("AC") else None) or entry.get("NA") or id
            records.append(_counts(id, name, start,
                                   position_rows(source, rows, matrix_at, f"motif {id!r}", columns, extra=True)))
        elif entry and set(entry) - {"VV", "XX"}:
            fail(source, start, "a TRANSFAC entry without a P0 matrix")
        entry, rows, columns, start = {}, [], "", 0

    for n, line in source.numbered():
        key, value = line[:2], line[2:].strip()
        if key == "//":
            close(n)
            continue
        if not start:
            start = n
        if columns and key.strip().isdigit():
            rows.append((n, line))
        elif key in ("P0", "PO"):
            letters = "".join(value.upper().split())
            if sorted(letters) != list(BASES):
                fail(source, n, f"the matrix columns are {value!r}, expected A, C, G and T")
            columns, matrix_at = letters, n
        elif len(line) > 2 and not line[2].isspace() or not key.isalpha():
            fail(source, n, f"not a TRANSFAC line: {line.strip()!r}")
        else:
            if columns and key in ("AC", "ID") and key in entry:
                close(n)      # the next entry, the last one not ended by "//"
                start = n
            if key in ("AC", "ID"):
                value = value.split()[0] if value else ""
            entry.setdefault(key, value)
    close(0)
    return MotifFile(source.name, "transfac", records)
