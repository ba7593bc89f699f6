"""Reading genomes: every road (indexed file, bgzip, gzip, pipe, FIFO) gives the chunks and codes the
text holds, in byte coordinates; stale or missing indexes, duplicate names, stray bytes, BED input."""

import gzip
import itertools
import os
import shutil
import subprocess
import sys
import threading
import types
import warnings
from pathlib import Path

import numpy as np
import pysam
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import morvane
from morvane import genome as g
from morvane._scan import FastaParser, encode
from morvane.genome import Region, chunk_intervals, gc_content, open_genome, read_regions
from morvane.motifs import read_motifs
from morvane.utils.sequences import get_gc_content

DATA = Path(__file__).resolve().parent.parent / "data"
LAMBDA = DATA / "lambda_virus.fa"
MORVANE = Path(sys.executable).with_name("morvane")


def fasta_bytes(records, width=60, end=b"\n", final=True):
    lines = []
    for name, seq in records:
        lines.append(b">" + name + b" some description")
        lines += [seq[i:i + width] for i in range(0, len(seq), width)]
    text = end.join(lines)
    return text + end if final and lines else text


def expected(records, regions, size, overlap):
    """The chunks of chunk_intervals over the records' texts, coded."""
    texts = {name.decode(): bytes(b for b in seq if b not in b" \t\r\n") for name, seq in records}
    intervals = regions if regions is not None else [Region(n, 0, len(t)) for n, t in texts.items()]
    return [(c, encode(texts[c.chrom][c.start:c.end]).tobytes()) for c in chunk_intervals(intervals, size, overlap)]


def pipe_path(data):
    """A path that reads as a pipe a thread writes data into."""
    read, write = os.pipe()

    def feed():
        with os.fdopen(write, "wb") as out:
            out.write(data)
    threading.Thread(target=feed, daemon=True).start()
    return f"/proc/self/fd/{read}", read


def road(kind, tmp_path, data):
    """The genome as given on one road, and what to close afterwards."""
    plain = tmp_path / "g.fa"
    plain.write_bytes(data)
    if kind == "file":
        return str(plain), None
    if kind == "bgzip":
        pysam.tabix_compress(str(plain), str(plain) + ".gz", force=True)
        return str(plain) + ".gz", None
    if kind == "gzip":
        (tmp_path / "p.fa.gz").write_bytes(gzip.compress(data))
        return str(tmp_path / "p.fa.gz"), None
    if kind == "pipe":
        path, fd = pipe_path(data)
        return path, fd
    fifo = tmp_path / "g.fifo"               # a child process writes into a FIFO
    os.mkfifo(fifo)
    return str(fifo), subprocess.Popen(["sh", "-c", f"cat '{plain}' > '{fifo}'"])


def folder(tmp_path, name):
    (tmp_path / name).mkdir()
    return tmp_path / name


def read_all(kind, tmp_path, data, regions=None, size=7, overlap=3):
    genome, other = road(kind, tmp_path, data)
    try:
        with open_genome(genome) as fasta:
            intervals = read_regions(regions, fasta) if regions is not None else None
            got = [(c, codes.tobytes()) for c, codes in fasta.chunks(intervals, size, overlap)]
            return got, list(zip(fasta.references, fasta.lengths)), fasta
    finally:
        if isinstance(other, int):
            os.close(other)
        elif other is not None:
            other.wait()


ROADS = ["file", "bgzip", "gzip", "pipe", "fifo"]
bases = st.binary(max_size=40).map(lambda b: bytes(b"ACGTacgtNNRY\x00\xe9"[x % 14] for x in b))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=st.lists(st.tuples(st.sampled_from([b"a", b"b2", b"chr_3", b"x|y"]), bases), max_size=4,
                        unique_by=lambda r: r[0]),
       width=st.integers(1, 9), end=st.sampled_from([b"\n", b"\r\n", b" \n"]), final=st.booleans(),
       size=st.integers(1, 12), overlap=st.integers(0, 6), cut=st.integers(0, 50), data=st.data())
def test_every_road_gives_the_chunks_of_the_text(tmp_path_factory, records, width, end, final, size, overlap,
                                                 cut, data):
    text = fasta_bytes(records, width, end, final)
    regions = None
    if records and cut % 2:
        name, seq = data.draw(st.sampled_from(records))
        regions = [Region(name.decode(), cut % 11, cut % 11 + cut), Region(name.decode(), 3, 5)]
    want = expected(records, read_regions(regions, _Known(records)) if regions else None, size, overlap)
    lengths = [(n.decode(), len(s)) for n, s in records]
    for kind in ROADS:
        got, seen, _ = read_all(kind, tmp_path_factory.mktemp(kind), text, regions, size, overlap)
        assert got == want, kind
        assert seen == lengths, kind


class _Known:
    """The records as read_regions needs them known."""

    def __init__(self, records):
        self.known = True
        self.references = [n.decode() for n, _ in records]
        self.lengths = [len(s) for _, s in records]


@pytest.mark.parametrize("size, overlap", [(1 << 20, 16), (1000, 16), (7, 0)])
def test_indexed_road_equals_pysam_fetch(size, overlap):
    """What pysam's fetch and encode gave before, chunk for chunk."""
    with open_genome(LAMBDA) as fasta, pysam.FastaFile(str(LAMBDA)) as reference:
        assert isinstance(fasta, g.IndexedFasta)
        for chunk, codes in fasta.chunks(None, size, overlap):
            np.testing.assert_array_equal(codes, encode(reference.fetch(chunk.chrom, chunk.start, chunk.end)))


@pytest.mark.parametrize("stray", [b"\x00", b"\xc3\xa9", b"\xff", b"\x7f", b"\x01\x02"])
@pytest.mark.parametrize("at", [0, 5, 6, 7, 11, 12, 13])
def test_stray_bytes_are_n_in_their_place(tmp_path, stray, at):
    seq = b"ACGTACGTACGTACGTACGT"
    records = [(b"r", seq[:at] + stray + seq[at:])]
    for kind in ("file", "pipe"):
        got, seen, _ = read_all(kind, folder(tmp_path, kind),
                                fasta_bytes(records, width=6), size=6, overlap=2)
        codes = np.concatenate([np.frombuffer(c, np.uint8)[:chunk.limit] for chunk, c in got])
        assert seen == [("r", len(seq) + len(stray))]
        assert codes.tolist() == encode(seq[:at]).tolist() + [4] * len(stray) + encode(seq[at:]).tolist()


@pytest.mark.parametrize("text, lengths", [
    (b">a\n>b\nACGT\n", [("a", 0), ("b", 4)]),                        # an empty record
    (b">a\nAC\n\n\n>b\nGG", [("a", 2), ("b", 2)]),                     # blank lines, no final line end
    (b">a\nACGT\nAC\n>b", [("a", 6), ("b", 0)]),                       # a last header with no line end
    (b"\n\n>a\nacgtNNNN\r\nnnRY\r\n", [("a", 12)]),                    # blank lines first; CRLF, lower case
    (b">a\nAC\nACGT\nA\n", [("a", 7)]),                                # lines of varying length
    (b">a\nAC GT\nAC\n", [("a", 6)]),                                  # a blank inside a line
    (b"", []),
])
def test_record_shapes(tmp_path, text, lengths):
    for kind in ROADS:
        got, seen, fasta = read_all(kind, folder(tmp_path, kind),
                                    text, size=3, overlap=1)
        assert seen == lengths, kind
        assert b"".join(c[:chunk.limit] for chunk, c in got) == bytes(encode(
            b"".join(line for line in text.replace(b"\r", b"").replace(b" ", b"").split(b"\n")
                     if not line.startswith(b">"))))


@pytest.mark.parametrize("text, message", [
    (b"ACGT\n>a\nAC\n", "line 1: a sequence line before the first '>' header: not a FASTA file"),
    (b"\n\nchr1\t0\t10\n", "line 3: a sequence line"),
    (b">a\nAC\n>b\nGG\n>a\nTT\n", r"line 5: a second record named 'a' \(the first is on line 1\)"),
    (b">a\nAC\n>\nGG\n", "line 3: a record without a name"),
    (b">a\nAC\n>  \t\nGG\n", "line 3: a record without a name"),
])
@pytest.mark.parametrize("kind", ROADS)
def test_refused_texts(tmp_path, kind, text, message):
    with pytest.raises(ValueError, match=message):
        read_all(kind, tmp_path, text)


@pytest.mark.parametrize("damage, message", [
    (lambda z: z[:len(z) // 2], "g.fa.gz: not readable as gzip .*ended before the end-of-stream"),
    (lambda z: z[:20] + bytes(20) + z[40:], "g.fa.gz: (not readable as gzip|a damaged bgzip block at byte 0)"),
], ids=["truncated", "corrupt"])
@pytest.mark.parametrize("bgzip", [False, True])
def test_damaged_compression_is_refused(tmp_path, damage, message, bgzip):
    text = fasta_bytes(RECORDS)
    plain = tmp_path / "g.fa"
    plain.write_bytes(text)
    if bgzip:
        pysam.tabix_compress(str(plain), str(plain) + ".gz", force=True)
    else:
        (tmp_path / "g.fa.gz").write_bytes(gzip.compress(text))
    packed = tmp_path / "g.fa.gz"
    packed.write_bytes(damage(packed.read_bytes()))
    with pytest.raises(ValueError, match=message):
        with open_genome(packed) as fasta:
            list(fasta.chunks(None, 100, 0))


def test_a_samtools_index_of_duplicates_is_not_trusted(tmp_path):
    """samtools drops the second record of a name, with a warning: its .fai is out of step with the file."""
    path = tmp_path / "g.fa"
    path.write_bytes(b">a\nACGT\n>a\nGGGG\n")
    pysam.faidx(str(path))
    with pytest.raises(ValueError, match="a second record named 'a'"), warnings.catch_warnings(record=True):
        morvane.scan(path, read_motifs(DATA / "lambda_cI.jaspar"))


EDITS = [
    ("renamed", lambda t: t.replace(b">chrB", b">chrZ")),
    ("longer", lambda t: t.replace(b"\n>chrB", b"ACGTACGT\n>chrB")),
    ("record added", lambda t: t + b">chrC\nTTTTGGGGCCCC\n"),
    ("record removed", lambda t: t[:t.index(b">chrB")]),
    ("header longer", lambda t: t.replace(b">chrA", b">chrA with a long description")),
    ("rewrapped", lambda t: fasta_bytes(RECORDS, width=13)),
    ("CRLF", lambda t: t.replace(b"\n", b"\r\n")),
    ("empty record added", lambda t: b">none\n" + t),
]
RECORDS = [(b"chrA", b"ACGTTGCA" * 20), (b"chrB", b"GGGATTTACA" * 9)]


@pytest.mark.parametrize("edit", [e for _, e in EDITS], ids=[n for n, _ in EDITS])
@pytest.mark.parametrize("kind", ["file", "bgzip"])
def test_stale_index_is_noticed_and_rewritten(tmp_path, kind, edit):
    genome, _ = road(kind, tmp_path, fasta_bytes(RECORDS))
    pysam.FastaFile(genome).close()                       # samtools' index of the first text
    genome, _ = road(kind, tmp_path, edit(fasta_bytes(RECORDS)))
    expected_index = tmp_path / "fresh.fa"
    shutil.copy(genome, expected_index)
    with pytest.warns(UserWarning, match="does not match .*: the index was written again"):
        got, seen, _ = read_all(kind, tmp_path, edit(fasta_bytes(RECORDS)))
    with pysam.FastaFile(str(expected_index)) as fresh:
        assert [(r, n) for r, n in seen if n] == list(zip(fresh.references, fresh.lengths))
        for chunk, codes in got:
            assert codes == encode(fresh.fetch(chunk.chrom, chunk.start, chunk.end)).tobytes()
    # the .fai written is the one samtools writes, and is now trusted
    assert Path(genome + ".fai").read_bytes() == Path(str(expected_index) + ".fai").read_bytes()
    if kind == "bgzip":
        assert Path(genome + ".gzi").read_bytes() == Path(str(expected_index) + ".gzi").read_bytes()
    g._learnt.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert read_all(kind, tmp_path, edit(fasta_bytes(RECORDS)))[0] == got


def test_the_command_says_an_index_is_stale(tmp_path, capsys):
    from morvane.cli import main
    genome, _ = road("file", tmp_path, fasta_bytes(RECORDS))
    pysam.faidx(genome)
    road("file", tmp_path, fasta_bytes(RECORDS[::-1]))
    (tmp_path / "r.bed").write_text("chrA\t0\t8\n")
    assert main(["gc", genome, str(tmp_path / "r.bed")]) == 0
    out, err = capsys.readouterr()
    assert out == "0.500000\n" and err == (f"morvane: warning: {genome}.fai does not match {genome} (the FASTA "
                                          "changed after it was indexed?): the index was written again\n")


def test_an_index_that_cannot_be_written_is_kept_in_memory(tmp_path, monkeypatch):
    def refuse(path, data):
        raise PermissionError(13, "Permission denied")
    monkeypatch.setattr(g, "write_beside", refuse)
    got, seen, fasta = read_all("file", tmp_path, fasta_bytes(RECORDS))
    assert isinstance(fasta, g.IndexedFasta) and not (tmp_path / "g.fa.fai").exists()
    assert got == expected(RECORDS, None, 7, 3)


def test_read_only_folder(tmp_path):
    folder = tmp_path / "ro"
    folder.mkdir()
    (folder / "g.fa").write_bytes(fasta_bytes(RECORDS))
    folder.chmod(0o555)
    try:
        if os.access(folder, os.W_OK):
            pytest.skip("this user writes into read-only folders")
        with open_genome(folder / "g.fa") as fasta:
            codes = b"".join(c[:chunk.limit].tobytes() for chunk, c in fasta.chunks(None, 50, 5))
        assert codes == encode(RECORDS[0][1] + RECORDS[1][1]).tobytes()
    finally:
        folder.chmod(0o755)


def test_a_file_changed_while_read_is_refused(tmp_path):
    path = tmp_path / "g.fa"
    path.write_bytes(fasta_bytes(RECORDS, width=10))
    with open_genome(path) as fasta:
        path.write_bytes(fasta_bytes(RECORDS, width=10).replace(b"\nGGGA", b"\n>GGA"))
        with pytest.raises(ValueError, match="is not laid out as its index says"):
            list(fasta.chunks(None, 1000, 0))


def test_streams_on_the_command_line(tmp_path):
    """The same hits from a file, a FIFO, <(...) and standard input (as '-' and /dev/stdin)."""
    motif = str(DATA / "lambda_cI.jaspar")

    def hits(genome, **kwargs):
        out = subprocess.run([MORVANE, "scan", genome, motif, "--pvalue", "1e-4", "--quiet", "--regions",
                              str(DATA / "lambda_operators.bed")], capture_output=True, check=True, **kwargs)
        return [line for line in out.stdout.splitlines() if not line.startswith(b"#")]

    wanted = hits(str(LAMBDA))
    assert wanted
    for genome in ("-", "/dev/stdin"):
        with open(LAMBDA, "rb") as text:
            cat = subprocess.Popen(["cat"], stdin=text, stdout=subprocess.PIPE)
            assert hits(genome, stdin=cat.stdout) == wanted
            cat.wait()
    script = f"'{MORVANE}' scan <(gzip -c '{LAMBDA}') '{motif}' --pvalue 1e-4 --quiet --regions " \
             f"'{DATA / 'lambda_operators.bed'}'"
    out = subprocess.run(["bash", "-c", script], capture_output=True, check=True).stdout
    assert [line for line in out.splitlines() if not line.startswith(b"#")] == wanted


@pytest.mark.parametrize("kind", ["gzip", "pipe"])
def test_what_a_one_pass_genome_refuses(tmp_path, kind):
    genome, other = road(kind, tmp_path, LAMBDA.read_bytes())
    motifs = read_motifs(DATA / "lambda_cI.jaspar")
    with pytest.raises(ValueError, match="is read in one pass .* Dask workers cannot read"):
        morvane.scan(genome, motifs, client=types.SimpleNamespace(scatter=print, map=print))
    if kind == "pipe":
        genome, fd = pipe_path(LAMBDA.read_bytes())
        with pytest.raises(ValueError, match="is a stream, read once: the genome's background"):
            morvane.scan(genome, motifs, background="genome")
        os.close(fd)
        os.close(other)
    else:
        np.testing.assert_array_equal(morvane.scan(genome, motifs, background="genome"),
                                      morvane.scan(LAMBDA, motifs, background="genome"))


@pytest.mark.parametrize("kind", ["file", "pipe"])
def test_regions_on_every_road(tmp_path, kind):
    regions = [("chrB", 5, 40), ("chrA", 150, 10**9), ("chrB", 40, 41), ("chrA", 0, 3)]
    got, _, _ = read_all(kind, tmp_path, fasta_bytes(RECORDS), regions, size=9, overlap=4)
    merged = [Region("chrA", 0, 3), Region("chrA", 150, 160), Region("chrB", 5, 40), Region("chrB", 40, 41)]
    assert got == expected(RECORDS, merged, 9, 4)
    with pytest.raises(ValueError, match="region chrX:1-2: unknown chromosome 'chrX'"):
        read_all(kind, folder(tmp_path, "again"),
                 fasta_bytes(RECORDS), [("chrX", 1, 2)])


@pytest.mark.parametrize("field, message", [
    ("35_500", "start must be written in the digits 0 to 9, got '35_500'"),
    ("+35500", "start must be written in the digits 0 to 9, got '\\+35500'"),
    ("３５５", "start must be written in the digits 0 to 9"),
    ("1e3", "start must be written in the digits"),
    ("-5", "start -5 is negative; BED coordinates start at 0"),
    ("600", "end 500 lies before start 600"),
])
def test_bed_coordinates_are_ascii_digits(tmp_path, field, message):
    bed = tmp_path / "r.bed"
    bed.write_text(f"# a comment\nchrA\t1\t2\nchrA\t{field}\t500\n", encoding="utf-8")
    with open_genome(road("file", tmp_path, fasta_bytes(RECORDS))[0]) as fasta:
        with pytest.raises(ValueError, match=f"^{bed}, line 3: {message}"):
            read_regions(bed, fasta)


def test_bed_that_is_not_utf8(tmp_path):
    bed = tmp_path / "r.bed"
    bed.write_bytes(b"chrA\t1\t2\nchr\xe9\t1\t2\n")
    with pytest.raises(ValueError, match=f"^{bed}, line 2: not UTF-8 text \\(byte 0xe9 at column 4\\)"):
        g.read_bed(bed)


@pytest.mark.parametrize("kind", ["file", "gzip", "pipe"])
def test_gc_content_through_every_road(tmp_path, kind):
    chrom = "gi|9626243|ref|NC_001416.1|"
    regions = [Region(chrom, 0, 1000), Region(chrom, 500, 1500), Region(chrom, 48000, 48502),
               Region(chrom, 20000, 20001)]
    genome, other = road(kind, tmp_path, LAMBDA.read_bytes())
    assert gc_content(genome, regions + [(chrom, 48400, 10**6)]) == get_gc_content(
        regions + [Region(chrom, 48400, 48502)], str(LAMBDA))
    if isinstance(other, int):
        os.close(other)


def test_parser_refuses_a_short_code_buffer():
    with pytest.raises(ValueError, match="out holds 2 bytes; the text needs 4"):
        FastaParser().feed(b">a\nA", np.empty(2, np.uint8))


texts = st.lists(st.sampled_from([b">a x\n", b">b\n", b"ACGT", b"acgtn", b"\r\n", b"\n", b" ", b"\t", b"\x00",
                                  b"\xe9", b">", b"GG\n"]), max_size=30).map(b"".join)


@settings(max_examples=200, deadline=None)
@given(text=texts, cuts=st.lists(st.integers(0, 60), max_size=6))
def test_parser_reads_pieces_as_one_text(text, cuts):
    """Where the text is cut into pieces changes nothing: codes, starts, records."""
    def read(pieces):
        parser = FastaParser()
        codes, starts = b"", []
        for piece in pieces:
            out = np.empty(len(piece), np.uint8)
            try:
                count, found = parser.feed(piece, out)
            except ValueError as exc:
                return str(exc)
            starts += [(len(codes) + index, name, line) for index, name, line in found]
            codes += out[:count].tobytes()
        return codes, starts, parser.finish()
    bounds = sorted({0, len(text), *(c for c in cuts if c < len(text))})
    assert read([text[a:b] for a, b in zip(bounds, bounds[1:])]) == read([text])


@settings(max_examples=200, deadline=None)
@given(length=st.integers(0, 80), spans=st.lists(st.tuples(st.integers(0, 90), st.integers(0, 30)), max_size=4),
       size=st.integers(1, 20), overlap=st.integers(0, 10), pieces=st.lists(st.integers(1, 40), min_size=1))
def test_cutter_cuts_what_chunk_intervals_makes(length, spans, size, overlap, pieces):
    codes = np.arange(length, dtype=np.uint8)
    merged = [Region("r", min(a, length), min(a + n, length)) for a, n in spans]
    merged = g.merge_regions([r for r in merged if r.start < r.end], _Known([(b"r", codes.tobytes())]))
    unclipped = [(r.start, r.end if r.end < length else r.end + 7) for r in merged]   # as a stream has them
    cutter = g.Cutter("r", unclipped, size, overlap)
    got, at = [], 0
    for n in itertools.cycle(pieces):
        if at >= length:
            break
        got += cutter.feed(codes[at:at + n])
        at += n
    got += cutter.cut(True)
    assert [(c, k.tolist()) for c, k in got] == [(c, codes[c.start:c.end].tolist())
                                                for c in chunk_intervals(merged, size, overlap)]


@pytest.mark.parametrize("kind", ["file", "bgzip"])
def test_many_blocks_read_by_position(tmp_path, kind):
    """Chunks across bgzip blocks and lines, against pysam on the plain text."""
    rng = np.random.default_rng(5)
    records = [(f"c{i}".encode(), rng.choice(list(b"ACGTNacgt"), n).astype(np.uint8).tobytes())
               for i, n in enumerate([150_000, 1, 70_001])]
    genome, _ = road(kind, tmp_path, fasta_bytes(records, width=77))
    with open_genome(genome) as fasta, pysam.FastaFile(str(tmp_path / "g.fa")) as reference:
        assert fasta.path == os.path.realpath(genome)
        for chunk, codes in fasta.chunks([Region("c0", 1000, 149_000), Region("c2", 0, 70_001)], 30_011, 40):
            np.testing.assert_array_equal(codes, encode(reference.fetch(chunk.chrom, chunk.start, chunk.end)))
