"""The morvane command: a run on the bundled genome, usage errors, output safety, gc."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import morvane
import morvane.scan
from morvane.cli import main
from morvane.genome import Region
from morvane.utils.sequences import get_gc_content

DATA = Path(__file__).resolve().parent.parent / "data"
LAMBDA = str(DATA / "lambda_virus.fa")
JASPAR = str(DATA / "lambda_cI.jaspar")


def test_command_on_the_bundled_genome(tmp_path):
    out = tmp_path / "hits.bed"
    command = Path(sys.executable).with_name("morvane")
    subprocess.run([command, "scan", LAMBDA, JASPAR, "--pvalue", "1e-5", "-o", out], check=True)
    lines = out.read_text().splitlines()
    assert lines[0] == f"# morvane {morvane.__version__}: morvane scan {LAMBDA} {JASPAR} --pvalue 1e-5 -o {out}"
    rows = [line.split("\t") for line in lines if not line.startswith("#")]
    expected = morvane.scan(LAMBDA, morvane.read_motifs(JASPAR), pvalue=1e-5)
    assert [(r[0], int(r[1]), int(r[2]), r[3], float(r[4]), r[5], r[7]) for r in rows] == [
        (h["chrom"], h["start"], h["end"], h["motif"], h["score"], h["strand"], h["sequence"])
        for h in expected]
    np.testing.assert_allclose([float(r[6]) for r in rows], expected["pvalue"], rtol=1e-5)
    operators = {int(line.split("\t")[1]) for line in (DATA / "lambda_operators.bed").read_text().splitlines()}
    assert operators - {int(r[1]) for r in rows} == {37973}        # all but OR2, on both strands
    subprocess.run([command, "scan", LAMBDA, JASPAR, "--pvalue", "1e-5", "--qvalue", "-o", out], check=True)
    lines = out.read_text().splitlines()
    assert lines[1].split("\t")[-1] == "qvalue"
    with_q = [line.split("\t") for line in lines if not line.startswith("#")]
    assert [r[:8] for r in with_q] == rows
    qvalues = morvane.scan(LAMBDA, morvane.read_motifs(JASPAR), pvalue=1e-5, qvalue=True)["qvalue"]
    np.testing.assert_allclose([float(r[8]) for r in with_q], qvalues, rtol=1e-5)
    assert all(float(r[8]) >= float(r[6]) for r in with_q)         # a q-value never undercuts its p


def run(argv, capsys):
    code = main([str(a) for a in argv])
    return code, capsys.readouterr()


@pytest.fixture
def no_scan(monkeypatch):
    def fail(*args, **kwargs):
        raise AssertionError("scanning started")
    monkeypatch.setattr(morvane.scan, "iter_hits", fail)


def test_bad_input_writes_nothing(tmp_path, capsys, no_scan):
    out = tmp_path / "hits.bed"
    with pytest.raises(SystemExit) as exit:
        main(["scan", LAMBDA, JASPAR, "--pvalue", "1e-4", "--threshold", "3", "-o", str(out)])
    assert exit.value.code == 2 and "not allowed with argument" in capsys.readouterr().err
    bad = tmp_path / "bad.jaspar"
    bad.write_text(">x y\nA [ 1 ]\nC [ 1 ]\n")
    code, io = run(["scan", LAMBDA, bad, "-o", out], capsys)
    assert code == 1 and f"morvane: error: {bad}: " in io.err
    code, io = run(["scan", LAMBDA, JASPAR, "-o", tmp_path / "missing" / "hits.bed"], capsys)
    assert code == 1 and "cannot write" in io.err
    assert list(tmp_path.iterdir()) == [bad]


@pytest.mark.parametrize("extra", [[], ["--qvalue"]])
def test_interrupted_run_leaves_no_file(tmp_path, monkeypatch, extra):
    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(morvane.scan, "Found", interrupt)
    with pytest.raises(KeyboardInterrupt):
        main(["scan", LAMBDA, JASPAR, "-o", str(tmp_path / "hits.bed"), *extra])
    assert list(tmp_path.iterdir()) == []


def test_empty_fasta_gives_header_only(tmp_path, capsys):
    empty = tmp_path / "empty.fa"
    empty.write_text("")
    code, io = run(["scan", empty, JASPAR, "--quiet"], capsys)
    assert code == 0 and [line[0] for line in io.out.splitlines()] == ["#", "#"]


def test_gc(tmp_path, capsys):
    chrom = "gi|9626243|ref|NC_001416.1|"
    bed = tmp_path / "r.bed"
    bed.write_text(f"{chrom}\t0\t1000\n{chrom}\t48000\t99999\tpast the end\n")
    code, io = run(["gc", LAMBDA, bed], capsys)
    regions = [Region(chrom, 0, 1000), Region(chrom, 48000, 48502)]
    assert code == 0 and io.out == f"{get_gc_content(regions, LAMBDA):.6f}\n"
    bed.write_text("chrX\t0\t10\n")
    code, io = run(["gc", LAMBDA, bed], capsys)
    assert code == 1 and "unknown chromosome 'chrX'" in io.err


def test_a_reader_that_goes_away_ends_the_run_quietly():
    # `morvane scan ... | head`: every window is a hit here, far more than a pipe holds.
    command = Path(sys.executable).with_name("morvane")
    run = subprocess.Popen([command, "scan", LAMBDA, JASPAR, "--threshold", "-1000", "--quiet"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert run.stdout.readline().startswith(b"# morvane")
    run.stdout.close()
    assert run.stderr.read() == b"" and run.wait() == 141
