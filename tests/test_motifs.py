"""Motifs: reading every format, the row order, pseudo-counts, backgrounds, bad files."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from morvane.motifs import Motif, read_motifs
from morvane.utils.sequences import SequenceMatrix, nuc_to_num

DATA = Path(__file__).resolve().parent.parent / "data"
SITES = (DATA / "sites.txt").read_text().split()
# Counts of the sites ACG, ACT, TCG (rows A, C, G, T).
COUNTS = np.array([[2, 0, 0], [0, 3, 0], [0, 0, 2], [1, 0, 1]], dtype=float)
ROWS = {b: " ".join(f"{v:g}" for v in row) for b, row in zip("ACGT", COUNTS)}
MEME_ROWS = "\n".join(" ".join(f"{v:g}" for v in col / 3) for col in COUNTS.T)
# name: (format, suffix, text)
FILES = {
    "jaspar": ("jaspar", ".jaspar", "".join(f"{b} [ {ROWS[b]} ]\n" for b in "ACGT").join([">M1 toy\n", ""])),
    "jaspar-pfm": ("jaspar", ".pfm", ">M1 toy\n" + "".join(f"{ROWS[b]}\n" for b in "ACGT")),
    "pfm": ("pfm", ".pfm", "".join(f"{ROWS[b]}\n" for b in "ACGT")),
    "meme": ("meme", ".txt", "MEME version 4\n\nALPHABET= ACGT\n\nstrands: + -\n\n"
             "Background letter frequencies\nA 0.25 C 0.25 G 0.25 T 0.25\n\nMOTIF toy\n"
             f"letter-probability matrix: alength= 4 w= 3 nsites= 3 E= 0\n{MEME_ROWS}\n\n"),
    "transfac": ("transfac", ".dat", "ID  toy\nXX\nP0      A      C      G      T\n"
                 + "".join(f"0{i + 1}      " + "      ".join(f"{v:g}" for v in col) + "\n"
                           for i, col in enumerate(COUNTS.T)) + "XX\n//\n"),
    "sites": ("sites", ".sites", ">s1\nACG\n>s2\nACT\n>s3\nTCG\n"),
    "lines": ("lines", ".txt", "ACG\nACT\nTCG\n"),
}


def module_pwm(sites):
    pwm = SequenceMatrix.create(len(sites[0]), "PWM")
    for site in sites:
        pwm.add_sequence(nuc_to_num(site))
    pwm.prepare_mat()
    return pwm


@pytest.mark.parametrize("case", FILES)
@pytest.mark.parametrize("named", [True, False], ids=["format-given", "format-guessed"])
def test_every_format_reads_the_same_motif(tmp_path, case, named):
    fmt, suffix, text = FILES[case]
    path = tmp_path / f"toy{suffix}"
    path.write_text(text)
    (motif,) = read_motifs(path, fmt if named else None)
    if fmt == "meme":
        # probabilities stay probabilities (no rounding through nsites), FIMO's pseudo-count on them
        assert motif.kind == "probabilities" and motif.nsites == 3
        np.testing.assert_allclose(motif.matrix, COUNTS / 3, atol=1e-6)
        freq = (motif.matrix * 3 + 0.1 * 0.25) / 3.1
        np.testing.assert_array_equal(motif.pwm.pssm[:4], np.log2(freq / 0.25)[[0, 3, 1, 2]])
        return
    np.testing.assert_array_equal(motif.counts, COUNTS)
    # The module's own PWM of the same sites, bit for bit: the row order is right.
    np.testing.assert_array_equal(motif.pwm.pssm, module_pwm(["ACG", "ACT", "TCG"]).pssm)
    assert (motif.dwm is not None) == (fmt in ("sites", "lines"))


def test_bundled_jaspar_file_is_the_count_matrix_of_the_sites():
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    assert motif.name == "cI" and motif.width == 17
    np.testing.assert_array_equal(motif.pwm.pssm, module_pwm(SITES).pssm)


def test_sites_motif_scores_like_the_module():
    motif = Motif.from_sites(SITES, name="cI")
    dwm = SequenceMatrix.create(17, "DWM")
    for site in SITES:
        dwm.add_sequence(nuc_to_num(site))
    dwm.prepare_mat()
    codes = np.random.default_rng(1).integers(0, 5, 300)
    np.testing.assert_array_equal(motif.dwm.score_sequence(codes), dwm.score_sequence(codes))


@pytest.mark.parametrize("pseudocount", [0.01, 1.0, 3.5])
def test_pseudocount_and_background(pseudocount):
    bg = np.array([0.3, 0.2, 0.2, 0.3])                       # A, C, G, T
    motif = Motif.from_counts(COUNTS, pseudocount=pseudocount, background=bg)
    freq = (COUNTS + pseudocount) / (3 + 4 * pseudocount)
    expected = np.log2(freq / bg[:, None])[[0, 3, 1, 2]]      # A, C, G, T -> A, T, C, G
    np.testing.assert_allclose(motif.pwm.pssm[:4], expected, rtol=1e-12)
    np.testing.assert_array_equal(motif.background, bg)


def test_unequal_column_totals_keep_their_frequencies():
    uneven = np.array([[1, 10], [1, 0], [1, 0], [1, 10]], dtype=float)       # totals 4 and 20
    even = Motif.from_counts(uneven * [3.0, 0.6])                               # both totals 12
    np.testing.assert_allclose(Motif.from_counts(uneven).pwm.pssm, even.pwm.pssm, rtol=1e-12)


def test_dwm_background_is_independent_bases():
    bg = np.array([0.3, 0.2, 0.2, 0.3])
    plain = Motif.from_sites(SITES)
    shifted = plain.with_background(bg)
    codes = nuc_to_num("TATCACCGCCAGTGGTAGGCATTACGA")
    window = codes[:17]
    # Only the background half changes: by the log-probability of each base.
    log_bg = np.log2(bg[[0, 3, 1, 2]])[window].sum() - 17 * np.log2(0.25)
    np.testing.assert_allclose(shifted.dwm.score_sequence(codes)[8],
                               plain.dwm.score_sequence(codes)[8] - log_bg, rtol=1e-12)


@pytest.mark.parametrize("make, message", [
    (lambda: Motif.from_counts(np.zeros((4, 0)), name="empty"), "'empty' has width 0"),
    (lambda: Motif.from_counts(np.c_[COUNTS, np.zeros(4)], name="hole"), "'hole': count column 4 sums to 0"),
    (lambda: Motif.from_counts(COUNTS[:3], name="rows"), "'rows': counts must be 4 x L"),
    (lambda: Motif.from_counts(-COUNTS, name="neg"), "'neg': counts must be finite and not negative"),
    (lambda: Motif.from_counts(COUNTS, name="p", pseudocount=0), "'p': the pseudo-count must be positive"),
    (lambda: Motif.from_sites(["ACG", "AC"], name="ragged"), "'ragged': sites of different widths"),
    (lambda: Motif.from_sites(["NNN"], name="allN"), "'allN': no site holds only A, C, G and T \\(1 given"),
])
def test_bad_motifs_name_the_motif(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize("name, text, fmt", [
    ("bad.jaspar", ">M1 x\nA [ 1 2 ]\nC [ 1 x ]\nG [ 1 2 ]\nT [ 1 2 ]\n", None),
    ("ragged.jaspar", ">M1 x\nA [ 1 2 ]\nC [ 1 2 3 ]\nG [ 1 2 ]\nT [ 1 2 ]\n", None),
    ("zero.jaspar", ">M1 x\nA [ 1 0 ]\nC [ 1 0 ]\nG [ 1 0 ]\nT [ 1 0 ]\n", None),
    ("cut.meme", "MEME version 4\n\nALPHABET= ACGT\n", None),
    ("empty.txt", "\n", None),
    ("toy.txt", FILES["pfm"][2], "nonsense"),
])
def test_malformed_files_name_the_file(tmp_path, name, text, fmt):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(ValueError, match=f"^{path}: "):
        read_motifs(path, fmt)


def test_module_import_does_not_load_the_layer():
    code = ("import sys, morvane.utils.sequences, morvane; assert 'Bio' not in sys.modules; "
            "assert 'morvane.motifs' not in sys.modules; morvane.read_motifs; "
            "assert callable(morvane.scan) and morvane.Motif is morvane.motifs.Motif")
    subprocess.run([sys.executable, "-c", code], check=True)
