"""Motif files as users have them: every layout, identity, matrices as the file means them,
awkward but valid files, bad files named by file and line, backgrounds from files, FIMO's PSSM."""

import gzip
import io
import os
import subprocess
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

from conftest import describe
from morvane import models
from morvane.background import read_background
from morvane.formats import FrequencyNote, guess_format, open_source
from morvane.motifs import Motif, read_motifs, select_motifs
from morvane.utils.sequences import SequenceMatrix, nuc_to_num

FILES = Path(__file__).resolve().parent / "data" / "motifs"
TOY = np.array([[2, 0, 0], [0, 3, 0], [0, 0, 2], [1, 0, 1]], dtype=float)     # sites ACG, ACT, TCG
M2 = np.array([[1, 1], [1, 2], [1, 3], [1, 4]], dtype=float)                    # its columns' counts
CODES = [0, 3, 1, 2]                                                             # A, C, G, T -> A, T, C, G
WEIGHTS = np.array([[0.5, -2, -1.2], [-1.2, 1.9, -1.2], [-1.2, -2, 0.5], [0.1, -2, 0.1]])


def module_pssm(sites):
    pwm = SequenceMatrix.create(len(sites[0]), "PWM")
    for site in sites:
        pwm.add_sequence(nuc_to_num(site))
    pwm.prepare_mat()
    return pwm.pssm


UNIFORM = np.full(4, 0.25)


def fimo_pssm(freqs, nsites, bg=UNIFORM, pseudo=0.1):
    freqs = freqs / freqs.sum(axis=0)
    return np.log2((freqs * nsites + pseudo * bg[:, None]) / (nsites + pseudo) / bg[:, None])[CODES]


# file: [(id, name, kind, nsites, the PSSM rows A, T, C, G)] for its two motifs (one for the single-motif files)
SITES_PSSM = module_pssm(["ACG", "ACT", "TCG"])[:4]
COUNTS_M2 = Motif.from_counts(M2).pwm.pssm[:4]
PROB_M2 = ("M2", "M2", "probabilities", 20, fimo_pssm(M2 / M2.sum(axis=0), 20))
PRINTED = np.round(TOY / 3, 6)                 # as the MEME files print the toy motif's probabilities
EXPECTED = {
    "toy.meme": [("M1", "toy", "probabilities", 3, fimo_pssm(PRINTED, 3)), PROB_M2],
    "meme5.meme": [("M1", "toy", "probabilities", 1, fimo_pssm(PRINTED, 1)), PROB_M2],
    "nobg.meme": [("M1", "toy", "probabilities", 3, fimo_pssm(PRINTED, 3)), PROB_M2],
    "toy.motif": [("M1", "M1", "probabilities", 20, fimo_pssm(np.round(TOY / 3, 3), 20)),
                  PROB_M2],
    "toy.jaspar": [("M1", "toy", "counts", None, SITES_PSSM), ("M2", "M2", "counts", None, COUNTS_M2)],
    "freq.jaspar": [("M1", "toy", "probabilities", 20, fimo_pssm(np.round(TOY / 3, 3), 20))],
    "toy.transfac": [("M1", "toy", "counts", None, SITES_PSSM), ("M2", "M2", "counts", None, COUNTS_M2)],
    "toy.pcm": [("M1", "M1", "counts", None, SITES_PSSM), ("M2", "M2", "counts", None, COUNTS_M2)],
    "toy.pwm": [("M1", "M1", "weights", None, WEIGHTS[CODES]),
                ("M2", "M2", "weights", None, np.array([[0, -1.3], [0, 0.7], [0, -0.3], [0, 0.3]]))],
    "toy.sites": [("M1", "toy", "counts", None, SITES_PSSM)],
}
FORMAT_OF = {"toy.meme": "meme", "meme5.meme": "meme", "nobg.meme": "meme", "toy.motif": "homer",
             "toy.jaspar": "jaspar", "freq.jaspar": "jaspar", "toy.transfac": "transfac",
             "toy.pcm": "hocomoco-pcm", "toy.pwm": "hocomoco-pwm", "toy.sites": "sites"}


def check(motifs, expected):
    assert [(m.id, m.name, m.kind, m.nsites) for m in motifs] == [e[:4] for e in expected]
    for motif, (*_, pssm) in zip(motifs, expected):
        np.testing.assert_allclose(motif.pwm.pssm[:4], pssm, rtol=1e-12, atol=1e-12)


def read_quietly(path, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FrequencyNote)
        return read_motifs(path, *args, **kwargs)


# Each file's bytes made awkward in a way the file stays valid.
def crlf(data):
    return data.replace(b"\n", b"\r\n")


def bom(data):
    return b"\xef\xbb\xbf" + data


def blank_lines(data):
    return b"\n\n" + data.replace(b"\n", b"\n\n")


AWKWARD = {"as-is": lambda data: data, "crlf": crlf, "bom": bom, "gzip": gzip.compress, "blank-lines": blank_lines,
           "bom-crlf-gzip": lambda data: gzip.compress(crlf(bom(data)))}


@pytest.mark.parametrize("name", EXPECTED)
@pytest.mark.parametrize("awkward", AWKWARD)
@pytest.mark.parametrize("suffix", ["same", "none"])
def test_every_reader_reads_its_file(tmp_path, name, awkward, suffix):
    """By suffix, by content alone (a file named without one), and given the format."""
    data = AWKWARD[awkward]((FILES / name).read_bytes())
    path = tmp_path / (name if suffix == "same" else "motifs")
    if awkward.endswith("gzip") and suffix == "same":
        path = path.with_name(name + ".gz")
    path.write_bytes(data)
    check(read_quietly(path), EXPECTED[name])
    check(read_quietly(path, FORMAT_OF[name]), EXPECTED[name])


@pytest.mark.parametrize("name", ["toy.meme", "toy.jaspar"])
def test_standard_input(monkeypatch, name):
    data = gzip.compress((FILES / name).read_bytes())
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    check(read_motifs("-"), EXPECTED[name])
    # a text stream without bytes below it (as tests and notebooks give)
    monkeypatch.setattr(sys, "stdin", io.StringIO((FILES / name).read_text()))
    check(read_motifs("-"), EXPECTED[name])


def test_standard_input_of_a_process():
    code = "import morvane; print([m.id for m in morvane.read_motifs('-')])"
    out = subprocess.run([sys.executable, "-c", code], input=(FILES / "toy.transfac").read_bytes(),
                         capture_output=True, check=True).stdout
    assert out.decode().strip() == "['M1', 'M2']"


@pytest.mark.parametrize("kind", ["pipe", "fifo"])
@pytest.mark.parametrize("name", ["toy.jaspar", "model"])
def test_a_stream_is_read_once(tmp_path, kind, name):
    """A pipe (`<(zcat m.jaspar.gz)`) or a FIFO: nothing may read its first bytes and let them go."""
    if name == "model":
        models.save_models(tmp_path / "m.npz", Motif.from_sites(["ACGT", "ACGA"], name="d"))
    data = (tmp_path / "m.npz" if name == "model" else FILES / name).read_bytes()
    if kind == "fifo":
        path = tmp_path / "fifo"
        os.mkfifo(path)
    else:
        read_end, write_end = os.pipe()
        path = f"/dev/fd/{read_end}"
    with ThreadPoolExecutor(1) as pool:
        pool.submit(lambda: (open(path if kind == "fifo" else write_end, "wb").write(data)))
        try:
            if name == "model":
                with pytest.raises(ValueError, match="a zip archive, not a motif file"):
                    read_motifs(path)
            else:
                check(read_motifs(path), EXPECTED[name])
        finally:
            if kind == "pipe":
                os.close(read_end)


def test_frequencies_in_a_count_file_are_noted(tmp_path):
    with pytest.warns(FrequencyNote, match=r"freq\.jaspar: 1 of 1 count matrices hold frequencies .*: M1$"):
        read_motifs(FILES / "freq.jaspar")
    # counts of one site also sum to 1 per column: whole numbers stay counts, without a note
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        (one,) = read_motifs(io_file(tmp_path, ">S one\nA [ 1 0 ]\nC [ 0 1 ]\nG [ 0 0 ]\nT [ 0 0 ]\n", "one.jaspar"))
    assert one.kind == "counts"


def io_file(directory, text, name):
    path = directory / name
    path.write_text(text)
    return path


# ---------------------------------------------------------------- identity


def test_ids_select_motifs_and_unknown_ids_list_the_known():
    assert [m.id for m in read_motifs(FILES / "toy.transfac", ids=["M2"])] == ["M2"]
    motifs = read_motifs(FILES / "toy.meme") + read_motifs(FILES / "toy.jaspar")
    # the motifs' own order, every file's motif of that id
    assert [(m.id, m.kind) for m in select_motifs(motifs, ["M2", "M1"])] == [
        ("M1", "probabilities"), ("M2", "probabilities"), ("M1", "counts"), ("M2", "counts")]
    assert [m.id for m in select_motifs(motifs, "M2")] == ["M2", "M2"]
    with pytest.raises(ValueError, match=r"toy\.meme: no motif with id 'M3', 'CTCF'; the ids are M1, M2$"):
        read_motifs(FILES / "toy.meme", ids=["M3", "M1", "CTCF"])
    many = [Motif.from_counts(TOY, name=f"m{i}") for i in range(25)]
    with pytest.raises(ValueError, match=r"the ids are m0, .*, m19 and 5 more$"):
        select_motifs(many, ["x"])


@pytest.mark.parametrize("text, name, lines", [
    (">A x\n1\n1\n1\n1\n>B y\n1\n1\n1\n1\n>A z\n2\n2\n2\n2\n", "twice.jaspar", "1, 11"),
    ("MEME version 4\n\nMOTIF A\nletter-probability matrix:\n1 0 0 0\n"
     "MOTIF A\nletter-probability matrix:\n1 0 0 0\n", "twice.meme", "3, 6"),
])
def test_repeated_ids_are_refused(tmp_path, text, name, lines):
    with pytest.raises(ValueError, match=rf"{name}: motif id 'A' is used more than once \(lines {lines}\)"):
        read_motifs(io_file(tmp_path, text, name))


def test_constructor_keeps_its_positional_form_and_takes_an_id():
    plain = Motif("cI", TOY)
    assert (plain.id, plain.name) == ("cI", "cI")
    named = Motif("CTCF", TOY, id="MA0139.2")
    assert (named.id, named.name) == ("MA0139.2", "CTCF")
    np.testing.assert_array_equal(named.pwm.pssm, plain.pwm.pssm)


# ---------------------------------------------------------------- pseudo-counts and backgrounds


@pytest.mark.parametrize("pseudocount", [None, 0.01, 2.0])
def test_one_pseudocount_for_every_kind(pseudocount):
    bg = np.array([0.3, 0.2, 0.2, 0.3])
    meme, counts = (read_motifs(FILES / f, pseudocount=pseudocount, background=bg)[0]
                    for f in ("toy.meme", "toy.jaspar"))
    p = 0.1 if pseudocount is None else pseudocount
    np.testing.assert_allclose(meme.pwm.pssm[:4], fimo_pssm(PRINTED, 3, bg, p), rtol=1e-12)
    p = 1.0 if pseudocount is None else pseudocount
    np.testing.assert_allclose(counts.pwm.pssm[:4], np.log2((TOY + p) / (3 + 4 * p) / bg[:, None])[CODES],
                               rtol=1e-12)
    # another background spreads the probabilities' pseudo-count anew, as FIMO does with its own
    moved = meme.with_background("uniform")
    np.testing.assert_allclose(moved.pwm.pssm[:4], fimo_pssm(PRINTED, 3, UNIFORM, meme.pseudocount))
    assert (moved.id, moved.name, moved.nsites) == (meme.id, meme.name, meme.nsites)


@pytest.mark.parametrize("name, expected", [
    ("toy.meme", [0.3, 0.2, 0.2, 0.3]),
    ("meme5.meme", [0.3, 0.2, 0.2, 0.3]),
])
def test_the_files_background_on_request(name, expected):
    (motif, _) = read_motifs(FILES / name, background="motif")
    np.testing.assert_allclose(motif.background, expected)
    np.testing.assert_allclose(motif.pwm.pssm[:4], fimo_pssm(PRINTED, motif.nsites, np.array(expected)))
    assert np.array_equal(read_motifs(FILES / name)[0].background, np.full(4, 0.25))   # uniform unless asked


@pytest.mark.parametrize("text, message", [
    ("# order 0\nA 0.3\nC 0.2\nG 0.2\nT 0.3\n", None),
    ("A 0.301\nC 0.2\nG 0.2\nT 0.3\n", None),                                    # printed, 3 decimals
    ("A 0.3\nC 0.2\nG 0.2\n", "gives A, C, G, expected A, C, G and T"),
    ("A 0.3\nC 0.2\nG 0.2\nT 0.3\nAC 0.1\n", "line 5: a background of order 1"),
    ("A 0.3\nC 0.2\nG 0.2\nT 0.3\nA 0.3\n", "line 5: background letter 'A'"),
    ("A 0.3\nC x\nG 0.2\nT 0.3\n", "line 2: 'x' is not a number"),
    ("A 0.5\nC 0.5\nG 0.2\nT 0.3\n", "sum to 1.5"),
    ("A 0\nC 0.5\nG 0.2\nT 0.3\n", "four positive probabilities"),
])
def test_background_files(tmp_path, text, message):
    path = io_file(tmp_path, text, "x.bg")
    if message is None:
        bg = read_background(path)
        np.testing.assert_allclose(bg, np.array([0.3, 0.2, 0.2, 0.3]) / (0.3 + 0.2 + 0.2 + 0.3), atol=1e-3)
        assert bg.sum() == pytest.approx(1, abs=1e-15)
    else:
        with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
            read_background(path)


def test_background_files_of_higher_order_are_refused():
    with pytest.raises(ValueError, match=r"order1\.bg: line 9: a background of order 1 \('AA'\): morvane takes "
                                         r"order-0 backgrounds only"):
        read_background(FILES / "order1.bg")
    np.testing.assert_allclose(read_background(FILES / "toy.bg"), [0.3, 0.2, 0.2, 0.3])


def test_background_motif_needs_a_background_line():
    with pytest.raises(ValueError, match=r"nobg\.meme: background 'motif' .* no 'Background letter frequencies'"):
        read_motifs(FILES / "nobg.meme", background="motif")


# ---------------------------------------------------------------- bad files


MEME = "MEME version 4\n\nALPHABET= ACGT\n\n"
MEME_MOTIF = "MOTIF A\nletter-probability matrix: alength= 4 w= 2\n0.25 0.25 0.25 0.25\n1 0 0 0\n"


@pytest.mark.parametrize("name, fmt, text, message", [
    # MEME
    ("a.meme", None, "MEME version 4\n\nALPHABET= ACGU\n\n" + MEME_MOTIF, "line 3: the alphabet is RNA"),
    ("a.meme", None, "MEME version 4\n\nALPHABET= ACDEFGHIKLMNPQRSTVWY\n", "line 3: the alphabet is protein"),
    ("a.meme", None, 'MEME version 5\n\nALPHABET "RNA" RNA-LIKE\nA ~ U\nC ~ G\nEND ALPHABET\n', "line 3: .* RNA"),
    ("a.meme", None, "MEME version 4\n\nBackground letter frequencies\nA 0.3 C 0.2 G 0.2 U 0.3\n\n" + MEME_MOTIF,
     "line 4: the alphabet is RNA"),
    ("a.meme", None, 'MEME version 5\n\nALPHABET "DNA" DNA-LIKE\nA ~ T\nC ~ G\n', "line 3: .*without 'END"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix: alength= 4 w= 5\n0.25 0.25 0.25 0.25\n"
     "1 0 0 0\n", "line 6: motif 'A': w= 5 but the matrix has 2 rows"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix:\n0.25 0.25 0.25\n", "line 7: motif 'A': 3 numbers"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix: alength= 4.5\n1 0 0 0\n", "line 6: .*alength= 4.5"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix:\n0.5 0.5 0.5 0.5\n",
     "line 6: motif 'A': the probabilities of position 1 sum to 2"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix:\n0.5 x 0.5 0.5\n", "line 7: 'x' is not a number"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix:\nnan 1 0 0\n", "line 7: 'nan' is not a finite"),
    ("a.meme", None, MEME + "MOTIF A\n\nMOTIF B\n", "line 5: motif 'A' has no letter-probability matrix"),
    ("a.meme", None, MEME + "MOTIF\n", "line 5: a MOTIF line without a motif id"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix: alength= 20\n", "line 6: .*alength= 20"),
    ("a.meme", None, MEME + "MOTIF A\nletter-probability matrix: nsites= -3\n1 0 0 0\n", "line 6: .*negative"),
    ("a.meme", None, MEME + "strands: + x\n" + MEME_MOTIF, "line 5: strands must be"),
    ("a.meme", None, MEME + "Background letter frequencies\nA 0.3 C 0.2 G 0.2\n\n" + MEME_MOTIF,
     "line 6: the background line must give A, C, G and T"),
    ("a.meme", None, MEME + "0.25 0.25 0.25 0.25\n", "line 5: numbers outside a matrix"),
    ("a.meme", None, "ALPHABET= ACGT\n" + MEME_MOTIF, "line 1: not a MEME file"),
    ("a.meme", None, "MEME version 4\n\nALPHABET= ACGT\n", "no motif found"),
    # JASPAR and plain counts
    ("a.jaspar", None, ">M1 x\nA [ 1 2 ]\nC [ 1 x ]\nG [ 1 2 ]\nT [ 1 2 ]\n", "line 3: 'x' is not a number"),
    ("a.jaspar", None, ">M1 x\nA [ 0,5 0 ]\nC [ 0,5 1 ]\nG [ 0 0 ]\nT [ 0 0 ]\n", "line 2: '0,5' is not a number"),
    ("a.jaspar", None, ">M1 x\nA [ 1 2 ]\nC [ 1 2 3 ]\nG [ 1 2 ]\nT [ 1 2 ]\n", "line 3: .*rows of different"),
    ("a.jaspar", None, ">M1 x\nA [ 1 0 ]\nC [ 1 0 ]\nG [ 1 0 ]\nT [ 1 0 ]\n", "line 1: motif 'M1': count column 2"),
    ("a.jaspar", None, ">M1 x\nA [ 1 ]\nC [ 1 ]\nG [ 1 ]\nT [ 1 ]\nN [ 1 ]\n", "line 6: motif 'M1': 5 rows"),
    ("a.jaspar", None, ">M1 x\nA [ 1 ]\nC [ 1 ]\nG [ 1 ]\nA [ 1 ]\n", "line 2: .*labelled"),
    ("a.jaspar", None, ">M1 x\nA [ 1 ]\nC [ 1 ]\n", "line 3: motif 'M1': 2 rows, expected four"),
    ("a.jaspar", None, "A [ 1 ]\n>M1\n", "line 1: a matrix row before the first '>' header"),
    ("a.jaspar", None, ">ACGT\tname\t5.0\n0.25 0.25 0.25 0.25\n", "line 1: a HOMER motif header"),
    ("a.pfm", None, "1 1\n1 1\n1 1\n1 1\n1 1\n", "line 5: count matrix: 5 rows"),
    ("a.txt", "counts", "1 2\n1 2\n1 2\n1 2\n9 9\n", "line 5: count matrix: 5 rows"),
    ("a.txt", "counts", ">M1 x\n1\n1\n1\n1\n", "line 1: a '>' header in a headerless"),
    ("a.txt", None, "1 2 3\n1 2 3\n1 2 3\n", "line 1: cannot tell the motif format from 3 rows"),
    ("a.txt", None, "1 2 3 4\n1 2 3 4\n1 2 3 4\n1 2 3 4\n", "cannot tell the motif format .*4 x 4"),
    ("a.txt", None, ">M1\n1 2 3 4\n1 2 3 4\n1 2 3 4\n1 2 3 4\n", ".*every one is 4 x 4; give the format"),
    # TRANSFAC
    ("a.transfac", None, "AC  M1\nP0  A C G\n01 1 1 1\n//\n", "line 2: the matrix columns are 'A C G'"),
    ("a.transfac", None, "AC  M1\nP0  A C G T\n01 1 1 1 1\n02 1 1\n//\n", "line 4: motif 'M1': 2 numbers"),
    ("a.transfac", None, "AC  M1\nXX\nBF  x\n//\n", "line 1: a TRANSFAC entry without a P0 matrix"),
    ("a.transfac", None, "NA  x\nP0  A C G T\n01 1 1 1 1\n//\n", "line 1: a TRANSFAC matrix without AC or ID"),
    ("a.transfac", None, "AC  M1\nP0  A C G T\nhello\n", "line 3: not a TRANSFAC line"),
    # HOMER, HOCOMOCO
    ("a.motif", None, ">ACG\tM1\t5.0\n0.5 0.5 0.5 0.5\n", "line 1: motif 'M1': the probabilities of position 1"),
    ("a.motif", None, ">ACG\tM1\t5.0\n>CC\tM2\t3\n0.25 0.25 0.25 0.25\n", "line 1: motif 'M1': no matrix rows"),
    ("a.motif", None, ">ACG\tM1\t5.0\n0.25 0.25 0.5\n", "line 2: motif 'M1': 3 numbers in a matrix row"),
    ("a.pwm", None, ">M1\n1 2 3 4\n2 2 2 2\n", "line 1: motif 'M1': no weight below 0"),
    ("a.pcm", None, ">M1\n1 2 3 4 5\n", "line 2: motif 'M1': 5 numbers"),
    # sites
    ("a.sites", None, ">s1\nacgTTTg\n>s2\nAAAcTTT\n", "line 4: 2 upper-case runs"),
    ("a.sites", None, ">s1\nACG\nACG\n", "line 3: two sequence lines under one header .*FASTA"),
    ("a.sites", None, ">s1\nACG\n>s2\n", "line 3: a header without a sequence"),
    ("a.sites", None, ">s1\nACG\n>s2\nAC\n", "line 1: motif 'a': sites of different widths"),
    ("a.jaspar", "sites", ">M1 x\nA [ 1 2 ]\nC [ 1 2 ]\nG [ 1 2 ]\nT [ 1 2 ]\n", "line 2: not a site"),
    ("a.txt", "lines", "ACGT\nAC GT\n", "line 2: not a site"),
    ("a.txt", "lines", "ACGT\nACG\n", "line 1: motif 'a': sites of different widths"),
    # anything
    ("a.txt", None, "\n  \n", "empty motif file"),
    ("a.txt", None, "# nothing\n", "empty motif file"),
    ("a.txt", "nonsense", "1\n1\n1\n1\n", "unknown motif format 'nonsense'"),
])
def test_bad_files_name_the_file_and_line(tmp_path, name, fmt, text, message):
    path = io_file(tmp_path, text, name)
    with pytest.raises(ValueError, match=f"^{path}: {message}"):
        read_quietly(path, fmt)


@pytest.mark.parametrize("data, message", [
    (b">M1 caf\xe9\nA [ 1 ]\nC [ 1 ]\nG [ 1 ]\nT [ 1 ]\n", r"line 1: not UTF-8 text \(byte 0xe9\)"),
    (b"\n\n\xff\xfe>\x00", r"line 3: not UTF-8 text \(byte 0xff\)"),
    (b"\x1f\x8b\x08\x00garbage", r"not a readable gzip file"),
    (gzip.compress(b"data")[:-4], r"not a readable gzip file"),
])
def test_unreadable_bytes_name_the_file(tmp_path, data, message):
    path = tmp_path / "bad.jaspar"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=f"^{path}: {message}"):
        read_motifs(path)


@pytest.mark.parametrize("text, fmt", [
    ("ACGTAC\nACGTTC\nACCTAC\n", "lines"),                   # sites starting with "AC" (a TRANSFAC key)
    ("NAGTTC\nNAGTTC\nACGTTC\n", "lines"),                  # ... or "NA"
    ("# from MEME\nMEME version 4\n\nMOTIF M1\nletter-probability matrix:\n1 0 0 0\n", "meme"),
    (">s1\nACG\n>s2\nACT\n", "sites"),
    (">ACGTGA\tM1/Homer\t6.5\t-10\t0\n0.25\t0.25\t0.25\t0.25\n0.1\t0.2\t0.3\t0.4\n"
     "0.1\t0.2\t0.3\t0.4\n0.1\t0.2\t0.3\t0.4\n", "homer"),     # four positions, as a JASPAR matrix would look
    (">MA0001.1 x\n1 2\n1 2\n1 2\n1 2\n", "jaspar"),
    (">H\n1 2 3 4\n1 2 3 4\n", "hocomoco-pcm"),
    (">H\n-1 2 3 4\n1 2 3 -4\n", "hocomoco-pwm"),
    ("AC  M1\nXX\nP0  A C G T\n01 1 1 1 1\nXX\n//\n", "transfac"),
    ("A [ 1 2 ]\nC [ 1 2 ]\nG [ 1 2 ]\nT [ 1 2 ]\n", "counts"),
    ("A C G T\n1 2 3 4\n", "counts-columns"),
    ("T G C A\n1 2 3 4\n", "counts-columns"),
    ("1 2 3 4\n1 2 3 4\n", "counts-columns"),
])
def test_content_decides_without_a_suffix(tmp_path, text, fmt):
    path = io_file(tmp_path, text, "motifs")
    assert guess_format(open_source(path)) == fmt
    assert [m.id for m in read_quietly(path)] == [m.id for m in read_quietly(path, fmt)]


def test_counts_columns_follow_their_header(tmp_path):
    (motif,) = read_motifs(io_file(tmp_path, "T G C A\n1 0 0 3\n0 2 0 0\n", "m.txt"), "counts-columns")
    np.testing.assert_array_equal(motif.counts, [[3, 0], [0, 0], [0, 2], [1, 0]])


# ---------------------------------------------------------------- motifs built in code


def test_from_sites_takes_a_list_of_text_or_bytes():
    sites = ["ACG", "ACT", "TCG"]
    as_bytes = Motif.from_sites([s.encode() for s in sites])
    np.testing.assert_array_equal(as_bytes.pwm.pssm, Motif.from_sites(sites).pwm.pssm)
    assert as_bytes.sites == sites
    for one in ("TATCACCGCCAGTGGTA", b"TATCACCGCCAGTGGTA"):
        with pytest.raises(TypeError, match=f"motif 'cI': sites must be a list of aligned sites, not one "
                                            f"{type(one).__name__}"):
            Motif.from_sites(one, name="cI")


@pytest.mark.parametrize("make, exc, message", [
    (lambda: Motif.from_sites(None, name="s"), TypeError, "motif 's': sites must be a list of aligned sites"),
    (lambda: Motif.from_sites(["AC", None], name="s"), TypeError, "motif 's': site 2 is of type NoneType, not text"),
    (lambda: Motif.from_sites([1, 2], name="s"), TypeError, "motif 's': site 1 is of type int"),
    (lambda: Motif.from_counts("ACGT", name="c"), ValueError, "motif 'c': counts must be a 4 x L array of numbers"),
    (lambda: Motif.from_counts([[1, 2], [1], [1, 2], [1, 2]], name="c"), ValueError, "motif 'c': counts must be a 4"),
    (lambda: Motif.from_probabilities(TOY / 3, name="p", nsites="3"), ValueError, "motif 'p': nsites must be"),
    (lambda: read_motifs(None), TypeError, "path must be a motif file's path or '-', not NoneType"),
])
def test_what_is_not_a_motif_is_named(make, exc, message):
    with pytest.raises(exc, match=f"^{message}"):
        make()


@pytest.mark.parametrize("make, message", [
    (lambda: Motif.from_counts(TOY, name="tiny", pseudocount=5e-324), "'tiny': its counts and pseudo-count 5e-324"),
    (lambda: Motif.from_counts(np.full((4, 2), 1e308), name="huge"), "'huge': its counts and pseudo-count 1.0 give"),
    (lambda: Motif.from_counts(TOY, name="sub", pseudocount=1e-320), "'sub': .*non-finite"),
    (lambda: Motif.from_probabilities(TOY / 3, name="p", pseudocount=5e-324), "'p': its probabilities"),
    (lambda: Motif.from_probabilities(TOY, name="p"), "'p': probability column 1 sums to 3"),
    (lambda: Motif.from_probabilities(TOY / 3, name="p", nsites=0), "'p': nsites must be a positive number"),
    (lambda: Motif.from_probabilities(-TOY, name="p"), "'p': probabilities must be finite and not negative"),
    (lambda: Motif.from_weights(WEIGHTS * np.inf, name="w"), "'w': weights must be finite"),
    (lambda: Motif("w", weights=WEIGHTS, pseudocount=1.0), "'w' holds log-odds weights: a pseudo-count"),
    (lambda: Motif("c", TOY, nsites=3), "'c' holds counts: nsites is their column total"),
])
def test_matrices_that_give_no_finite_pssm_are_refused(make, message):
    with pytest.raises(ValueError, match=f"^motif {message}"):
        make()


def test_refusals_leave_the_arguments_as_they_were():
    counts = TOY.copy()
    before = describe(counts)
    with pytest.raises(TypeError, match="give one of counts, probabilities or weights"):
        Motif("m", counts, probabilities=counts)
    with pytest.raises(ValueError):
        Motif.from_counts(counts, pseudocount=5e-324)
    assert describe(counts) == before
    motif = Motif.from_probabilities(TOY / 3, nsites=3)
    state = {k: describe(v) for k, v in vars(motif).items()}
    with pytest.raises(ValueError):
        motif.with_background([0.5, 0.5, 0.5, 0.5])
    assert {k: describe(v) for k, v in vars(motif).items()} == state


def test_weights_score_as_given():
    motif = Motif.from_weights(WEIGHTS, id="W1", name="w", background=[0.3, 0.2, 0.2, 0.3])
    np.testing.assert_array_equal(motif.pwm.pssm[:4], WEIGHTS[CODES])
    assert motif.pwm.score_sequence(nuc_to_num("ACG"))[1] == 0.5 + 1.9 + 0.5
    # p-values against the background: the best word alone scores the best
    assert motif.pvalue(2.9) == pytest.approx(0.3 * 0.2 * 0.2)
    assert motif.counts is None and np.isnan(motif.pwm.bias_pwm[:4]).all()
    np.testing.assert_array_equal(motif.with_background("uniform").pwm.pssm[:4], WEIGHTS[CODES])


# ---------------------------------------------------------------- FIMO


def test_pssm_equals_fimos(tmp_path):
    """The same MEME file and background: pymemesuite's probabilities after FIMO's pseudo-count give
    our PSSM to the last bit or so; its scaled integer matrix lies within its rounding of ours."""
    common = pytest.importorskip("pymemesuite.common", reason="pymemesuite (the test extra) is not installed")
    # columns as printed: kept within 1e-5 of 1, divided by their sum further off; nsites as FIMO reads it
    io_file(tmp_path, MEME + "MOTIF R1\nletter-probability matrix: nsites= 7.9\n0.333333 0.333333 0.333333 0\n"
            "0.52 0.2 0.2 0.1\n0.5 0.2 0.2 0.05\n0.500009 0.2 0.2 0.1\nMOTIF R2\nletter-probability matrix: "
            "nsites= 0\n0 0 1 0\n", "rounded.meme")
    for name in (FILES / "toy.meme", FILES / "meme5.meme", FILES / "nobg.meme", tmp_path / "rounded.meme"):
        motif_file = common.MotifFile(str(name))
        theirs = list(motif_file)
        background = motif_file.background       # the background FIMO's reader spread its pseudo-count by
        bg = np.array(list(background.frequencies))
        ours = read_motifs(name, background=bg)
        assert [m.id for m in ours] == [m.accession.decode() for m in theirs]
        for motif, fimo in zip(ours, theirs):
            freqs = np.array([list(row) for row in fimo.frequencies]).T
            np.testing.assert_allclose(motif.pwm.pssm[:4], np.log2(freqs / bg[:, None])[CODES],
                                       rtol=0, atol=1e-13)
            pssm = fimo.build_pssm(background)
            scaled = np.array([list(row) for row in pssm.matrix]).T / pssm.scale + pssm.offset
            assert np.abs(motif.pwm.pssm[:4] - scaled[CODES]).max() <= 0.5 / pssm.scale + 1e-12
