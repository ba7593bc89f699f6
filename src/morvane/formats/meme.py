"""MEME's minimal (text) motif format, and MEME background files.

    MEME version 5
    ALPHABET= ACGT                 (or an ALPHABET ... END ALPHABET block)
    strands: + -
    Background letter frequencies
    A 0.303 C 0.183 G 0.209 T 0.306
    MOTIF MA0004.1 Arnt
    letter-probability matrix: alength= 4 w= 6 nsites= 20 E= 0
    0.200000  0.800000  0.000000  0.000000
    ...
    URL http://...

Every section but the motifs is optional, white space of any kind separates.
"""

import math
import re

import numpy as np

from .records import BASES, MotifFile, Record, Source, fail, number, numbers, probabilities

KEY_VALUE = re.compile(r"(\w+)\s*=\s*(\S+)")
RNA, PROTEIN = set("ACGU"), set("ACDEFGHIKLMNPQRSTVWY")
# FIMO's number of sites for a matrix that gives none (or 0): the weight its pseudo-count meets.
DEFAULT_NSITES = 20


def _alphabet(source: Source, n: int, letters: set[str], kind: str = "") -> None:
    if letters == set(BASES) and kind not in ("RNA-LIKE", "PROTEIN-LIKE"):
        return
    what = ("RNA" if letters == RNA or kind == "RNA-LIKE" else
            "protein" if letters >= PROTEIN - {"U"} or kind == "PROTEIN-LIKE" else
            f"{''.join(sorted(letters))}")
    fail(source, n, f"the alphabet is {what}: morvane reads DNA motifs (A, C, G, T) only")


def _is_numeric(line: str) -> bool:
    words = line.split()
    try:
        float(words[0])
    except (IndexError, ValueError):
        return False
    return True


def read_meme(source: Source) -> MotifFile:
    lines = list(source.numbered())
    while lines and lines[0][1].lstrip().startswith("#"):
        lines.pop(0)            # comments before the header, as format guessing skips them
    if not lines or not lines[0][1].strip().startswith("MEME version"):
        at = lines[0][0] if lines else 0
        fail(source, at, "not a MEME file: the first line must be 'MEME version ...'")
    out = MotifFile(source.name, "meme", [])
    i = 1
    current: tuple[int, str, str] | None = None     # (line, id, alt) of the motif whose matrix is due

    def close() -> None:
        if current is not None:
            fail(source, current[0], f"motif {current[1]!r} has no letter-probability matrix")

    while i < len(lines):
        n, line = lines[i]
        text = line.strip()
        i += 1
        if text.startswith("ALPHABET="):
            _alphabet(source, n, set(text[len("ALPHABET="):].strip().upper()))
        elif text.startswith("ALPHABET"):
            i = _alphabet_block(source, lines, i - 1)
        elif text.startswith("strands:"):
            strands = text[len("strands:"):].split()
            if not strands or set(strands) - {"+", "-"} or len(set(strands)) != len(strands):
                fail(source, n, f"strands must be '+', '-' or '+ -', got {' '.join(strands)!r}")
            out.strands = "".join(sorted(strands))
        elif text.startswith("Background letter frequencies"):
            i = _background_line(source, lines, i, out)
            out.background_line = n
        elif text.startswith("MOTIF"):
            close()
            parts = text.split()
            if len(parts) < 2:
                fail(source, n, "a MOTIF line without a motif id")
            current = (n, parts[1], parts[2] if len(parts) > 2 else parts[1])
        elif text.startswith("letter-probability matrix"):
            if current is None:
                fail(source, n, "a letter-probability matrix outside a MOTIF")
            i = _matrix(source, lines, i, n, text, current, out)
            current = None
        elif text.startswith("log-odds matrix"):
            while i < len(lines) and _is_numeric(lines[i][1]):
                i += 1                       # recomputed from the probabilities, as FIMO does
        elif _is_numeric(text):
            fail(source, n, "numbers outside a matrix")
        # Any other line (URL, comments, MEME's own reports) says nothing about the matrices.
    close()
    return out


def _alphabet_block(source: Source, lines: list[tuple[int, str]], i: int) -> int:
    """An ALPHABET ... END ALPHABET block: its core symbols (those defined without '=') must be DNA's."""
    n, head = lines[i]
    kind = next((word for word in head.split() if word.endswith("-LIKE")), "")
    core: set[str] = set()
    for j in range(i + 1, len(lines)):
        m, line = lines[j]
        text = line.strip()
        if text.startswith("END ALPHABET"):
            _alphabet(source, n, core, kind)
            return j + 1
        if "=" in re.sub(r'"[^"]*"', "", text):
            continue                          # an alias or wildcard (N = ACGT)
        for part in re.sub(r'"[^"]*"', "", text).split("~"):
            words = part.split()
            if words:
                core.add(words[0].upper())
    fail(source, n, "an ALPHABET block without 'END ALPHABET'")


def _background_line(source: Source, lines: list[tuple[int, str]], i: int, out: MotifFile) -> int:
    """Letter-probability pairs on the lines after the heading, up to the next section."""
    tokens: list[tuple[int, str]] = []
    while i < len(lines) and not lines[i][1].lstrip().startswith(("MOTIF", "ALPHABET", "strands:", "Background")):
        n, line = lines[i]
        tokens += [(n, token) for token in line.split()]
        i += 1
        if len(tokens) >= 8:
            break
    at = tokens[0][0] if tokens else lines[i - 1][0]
    if len(tokens) % 2 or len(tokens) < 8:
        fail(source, at, "the background line must give A, C, G and T each with a probability")
    freqs: dict[str, float] = {}
    letters = {letter.upper() for _, letter in tokens[::2]}
    if letters != set(BASES) and len(letters) == len(tokens) // 2:
        _alphabet(source, at, letters)
    for (n, letter), (_, value) in zip(tokens[::2], tokens[1::2]):
        letter = letter.upper()
        if letter not in BASES or letter in freqs:
            fail(source, n, f"background letter {letter!r}: expected A, C, G and T once each")
        freqs[letter] = number(source, n, value)
    out.background = freqs
    return i


def _matrix(source: Source, lines: list[tuple[int, str]], i: int, at: int, text: str,
            motif: tuple[int, str, str], out: MotifFile) -> int:
    _, id, alt = motif
    what = f"motif {id!r}"
    keys = dict(KEY_VALUE.findall(text))
    if number(source, at, keys.get("alength", "4")) != 4:
        fail(source, at, f"{what}: alength= {keys['alength']}, expected 4 (DNA)")
    nsites = number(source, at, keys["nsites"]) if "nsites" in keys else 0.0
    if nsites < 0:
        fail(source, at, f"{what}: nsites= {keys['nsites']} is negative")
    # FIMO reads nsites as a whole number, and takes 0 for "not given".
    nsites = float(math.floor(nsites)) or DEFAULT_NSITES
    rows = []
    while i < len(lines) and _is_numeric(lines[i][1]):
        n, line = lines[i]
        values = numbers(source, n, line)
        if len(values) != 4:
            fail(source, n, f"{what}: {len(values)} numbers in a matrix row, expected 4")
        rows.append(values)
        i += 1
    if "w" in keys:
        width = number(source, at, keys["w"])
        if width != len(rows):
            fail(source, at, f"{what}: w= {keys['w']} but the matrix has {len(rows)} rows")
    if not rows:
        fail(source, at, f"{what}: no matrix rows")
    matrix = probabilities(source, at, np.array(rows, dtype=np.float64).T, what)
    out.records.append(Record(id, alt, "probabilities", motif[0], matrix, nsites))
    return i


def read_background_file(source: Source) -> dict[str, float]:
    """A MEME background file (fasta-get-markov): '#' comments, then "letter probability" lines.
    Only order 0 is read: an entry of two or more letters is refused."""
    freqs: dict[str, float] = {}
    for n, line in source.numbered():
        text = line.strip()
        if text.startswith("#"):
            continue
        parts = text.split()
        if len(parts) != 2:
            fail(source, n, f"expected a letter and its probability, got {text[:40]!r}")
        word, value = parts[0].upper(), number(source, n, parts[1])
        if len(word) > 1:
            fail(source, n, f"a background of order {len(word) - 1} ({word!r}): morvane takes order-0 "
                            "backgrounds only (the single-letter lines)")
        if word not in BASES or word in freqs:
            fail(source, n, f"background letter {word!r}: expected A, C, G and T once each")
        freqs[word] = value
    if set(freqs) != set(BASES):
        fail(source, 0, f"the background gives {', '.join(freqs) or 'no letter'}, expected A, C, G and T")
    return freqs
