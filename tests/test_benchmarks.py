"""The benchmark harness: rows read against their targets, turns taken, children's peaks and caps, the
synthetic genomes, and the bare scanning path agreeing with morvane.scan."""

import os
import sys
from pathlib import Path

import numpy as np
import pysam
import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCHMARKS))

import harness  # noqa: E402
import inputs  # noqa: E402
from harness import Row  # noqa: E402

LAMBDA = Path(__file__).resolve().parent.parent / "data"


@pytest.mark.parametrize("kind, ours, base, target, met, ratio", [
    ("faster", 1.0, 30.0, 20.0, True, "30.00x faster"),
    ("faster", 1.0, 10.0, 20.0, False, "10.00x faster"),
    ("time", 1.0, 4.0, 0.5, True, "0.25x its time"),
    ("time", 3.0, 4.0, 0.5, False, "0.75x its time"),
    ("budget", 6e8, 1e9, 1.0, True, "0.60x of it"),
    ("budget", 1.2e9, 1e9, 1.0, False, "1.20x of it"),
])
def test_row_reads_its_ratio_against_the_target(kind, ours, base, target, met, ratio):
    row = Row("w", ours, "b", base, kind, target)
    assert row.met is met
    assert row.ratio_text() == ratio
    assert row.status_text() == ("met" if met else "*** MISSED: ratio ***")


def test_row_failed_check_is_a_miss_even_unmeasured():
    row = Row.budget("w", 0.05)
    assert row.met is None and row.status_text() == "NOT MEASURED"
    row.checks.append("failed")
    row.note = "out of memory"
    assert row.met is False
    assert row.status_text() == "*** MISSED: failed *** (out of memory)"
    measured = Row("w", 1.0, "b", 30.0, "faster", 20.0, checks=["scores differ"])
    assert measured.met is False and "scores differ" in measured.status_text()
    assert Row("w", 1.0, "b", 2.0, "faster", None).status_text() == "for information"
    assert harness.summary([row, measured, Row("w", 1.0, "b", 30.0, "faster", 20.0)]) == \
        "1 of 3 targets met, 2 MISSED"


def test_race_takes_turns_and_keeps_the_best():
    calls = []
    best = harness.race((lambda: calls.append("a"), 3), (lambda: calls.append("b"), 1))
    assert calls == ["a", "b", "a", "b", "a", "a"]  # one untimed call each, then turns
    assert len(best) == 2 and all(0 <= t < 1 for t in best)
    calls.clear()
    harness.race((lambda: calls.append("a"), 2), (lambda: calls.append("b"), 2), warm=False)
    assert calls == ["a", "b", "a", "b"]


def test_child_reports_its_output_and_peak():
    run = harness.run_child("import numpy as np\nx = np.ones(50_000_000)\nprint(int(x.sum()), sys.argv[1])", "arg")
    assert run.error == "" and run.stdout == "50000000 arg"
    assert run.peak > 400e6  # the 400 MB array was resident


@pytest.mark.parametrize("code, memory, timeout, why", [
    pytest.param("import numpy as np\nnp.ones(1 << 28)", 1 << 30, None, "out of its 1 GiB of address space",
                 marks=pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                          reason="no address-space cap beside AddressSanitizer's shadow")),
    ("import time\ntime.sleep(30)", None, 1.0, "stopped after 1 s"),
    ("sys.exit(3)", None, None, "exit 3"),
])
def test_child_fails_alone(code, memory, timeout, why):
    run = harness.run_child(code, memory=memory, timeout=timeout)
    assert run.peak is None and why in run.error


@pytest.mark.parametrize("size", [1, 59, 60, 61, 125])
def test_fasta_lines_read_back(tmp_path, size):
    rng = np.random.default_rng(size)
    seq = np.frombuffer(b"ACGTN", np.uint8)[rng.integers(0, 5, size)]
    path = tmp_path / "x.fa"
    inputs.write_fasta(path, {"a": [seq[:60], seq[60:]] if size > 60 else [seq], "b": [seq]})
    text = path.read_bytes()
    assert all(len(line) <= 60 for line in text.split(b"\n"))
    with pysam.FastaFile(str(path)) as fa:
        assert fa.fetch("a") == fa.fetch("b") == seq.tobytes().decode()


def test_scan_genome_is_assembly_like(tmp_path):
    fasta = inputs.scan_genome(np.random.default_rng(1), tmp_path, 1, records=2)
    with pysam.FastaFile(fasta) as fa:
        assert list(fa.lengths) == [500_000, 500_000]
        text = fa.fetch("chr1")
    assert set(text) <= set("ACGTacgtN")
    assert text[:10_000] == text[-10_000:] == "N" * 10_000
    lower = sum(text.count(c) for c in "acgt") / len(text)
    assert 0.02 < lower < 0.2


def test_bare_scan_counts_the_hits_of_morvane_scan():
    from workloads.scan import BareScan

    import morvane

    fasta = str(LAMBDA / "lambda_virus.fa")
    motifs = inputs.random_motifs(np.random.default_rng(3), [8, 12, 20])
    bare = BareScan.at(fasta, motifs, 1e-3)
    expected = len(morvane.scan(fasta, motifs.fresh(), pvalue=1e-3))
    assert expected > 0
    assert bare() == bare(threads=2) == expected


def test_motif_files_read_back(tmp_path):
    import morvane

    motifs = inputs.random_motifs(np.random.default_rng(4), [6, 9])
    read = morvane.read_motifs(motifs.write_jaspar(tmp_path / "m.jaspar"))
    assert [m.name for m in read] == motifs.names
    for m, counts in zip(read, motifs.counts):
        assert np.allclose(m.counts, counts, rtol=1e-5)
    meme = tmp_path / "m.meme"
    motifs.write_meme(meme)
    assert meme.read_text().count("letter-probability matrix") == 2
    out = tmp_path / "hits.bed"
    out.write_text("# a\n# b\nx\t1\ny\t2\n")
    assert harness.hit_lines(str(out)) == 2


def test_command_writes_every_hit_and_failures_mark_rows(tmp_path):
    import morvane

    fasta = str(LAMBDA / "lambda_virus.fa")
    motifs = inputs.random_motifs(np.random.default_rng(5), [10, 14])
    motifs_file = motifs.write_jaspar(tmp_path / "m.jaspar")
    command = harness.Command(fasta, motifs_file, str(tmp_path / "hits.bed"), "--pvalue", "1e-3")
    command()
    row = command.memory_row("peak", budget=1e9)
    assert command.error == "" and row.met is True and row.ours > 10e6
    assert harness.hit_lines(command.out) == len(morvane.scan(fasta, morvane.read_motifs(motifs_file), pvalue=1e-3))

    broken = harness.Command(fasta, str(tmp_path / "missing.jaspar"), str(tmp_path / "none.bed"))
    broken()
    timed = Row("w", 1.0, "b", 2.0, "time", 1.0)
    assert not broken.settle(timed) and not broken.settle(timed)
    assert timed.ours is None and timed.checks == ["failed"] and timed.met is False
    assert "exit 1" in broken.error or "missing.jaspar" in broken.error
