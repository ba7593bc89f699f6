"""Aligned sites: JASPAR .sites files and one site per line."""

import re

from .records import MotifFile, Record, Source, fail, is_site

UPPER_RUN = re.compile(r"[A-Z]+")


def read_sites(source: Source) -> MotifFile:
    """JASPAR .sites: ">id name number" headers, each followed by its sequence, the site in upper
    case between lower-case flanks. The id and name are the headers' when all of them share theirs."""
    headers: list[tuple[int, list[str]]] = []
    sites: list[str] = []
    for n, line in source.numbered():
        text = line.strip()
        if text.startswith(">"):
            headers.append((n, text[1:].split()))
            continue
        if not headers:
            fail(source, n, "a sequence before the first '>' header")
        if len(sites) == len(headers):
            fail(source, n, "two sequence lines under one header (a .sites file gives each site on one "
                            "line; a FASTA genome is no motif file)")
        if not is_site(text):
            fail(source, n, f"not a site: {text[:40]!r}")
        runs = UPPER_RUN.findall(text)
        if len(runs) != 1:
            fail(source, n, f"{len(runs)} upper-case runs in the sequence, expected one (the site "
                            "between lower-case flanks)")
        sites.append(runs[0])
    if not headers:
        return MotifFile(source.name, "sites", [])
    if len(sites) < len(headers):
        fail(source, headers[len(sites)][0], "a header without a sequence")
    first = headers[0][1]
    shared = first and all(h[:1] == first[:1] for _, h in headers)
    id = first[0] if shared else source.stem
    named = shared and len(first) > 1 and all(h[1:2] == first[1:2] for _, h in headers)
    record = Record(id, first[1] if named else id, "sites", headers[0][0], sites=sites)
    return MotifFile(source.name, "sites", [record])


def read_lines(source: Source) -> MotifFile:
    """One aligned site per line (letters only; sites holding anything but A, C, G, T are skipped
    when counted, as the module's counting does)."""
    sites, first = [], 0
    for n, line in source.numbered():
        text = line.strip()
        if not is_site(text):
            fail(source, n, f"not a site (letters only): {text[:40]!r}")
        first = first or n
        sites.append(text)
    record = Record(source.stem, source.stem, "sites", first, sites=sites)
    return MotifFile(source.name, "lines", [record] if sites else [])
