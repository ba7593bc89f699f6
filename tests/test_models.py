"""DWM model files (morvane.models) and the build command (morvane.build)."""
import argparse
import os
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

from morvane import models
from morvane.build import add_build_parser
from morvane.motifs import Motif, read_motifs

DATA = Path(__file__).resolve().parent.parent / "data"
PREPARED = ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")


def bits(a):
    return np.asarray(a, np.float64).view(np.uint64)


def assert_same_model(got, want):
    assert (got.name, got.width, got.pseudocount) == (want.name, want.width, want.pseudocount)
    for name in PREPARED:
        assert np.array_equal(bits(getattr(got.dwm, name)), bits(getattr(want.dwm, name))), name
    assert np.array_equal(bits(got.pwm.pssm), bits(want.pwm.pssm))


@pytest.mark.parametrize("background", [None, [0.3, 0.2, 0.2, 0.3]])
def test_saved_models_prepare_to_the_same_doubles(tmp_path, background):
    rng = np.random.default_rng(1)
    site_sets = [["".join(rng.choice(list("ACGT"), L)) for _ in range(n)] for L, n in ((9, 30), (14, 5))]
    motifs = [Motif.from_sites(sites, name=f"m{i}", pseudocount=0.5, background=background)
              for i, sites in enumerate(site_sets)]
    path = tmp_path / "two.npz"
    models.save_models(path, motifs)
    assert models.is_model_file(path) and not models.is_model_file(DATA / "sites.txt")
    loaded = models.load_models(path)
    assert len(loaded) == 2
    for got, want in zip(loaded, motifs):
        assert_same_model(got, want)
        assert got.sites is None
    # a loaded model keeps its DWM against another background
    moved = loaded[0].with_background("uniform")
    assert_same_model(moved, motifs[0].with_background("uniform"))


def test_build_command_writes_what_scan_reads(tmp_path):
    parser = argparse.ArgumentParser()
    add_build_parser(parser.add_subparsers())
    out = tmp_path / "lambda.npz"
    args = parser.parse_args(["build", str(DATA / "sites.txt"), "-o", str(out)])
    assert args.run(args, []) == 0
    (loaded,) = read_motifs(out)
    assert_same_model(loaded, read_motifs(DATA / "sites.txt")[0])
    args = parser.parse_args(["build", str(DATA / "sites.txt"), "-o", str(out), "--background", "0.3,0.2,0.2,0.3"])
    args.run(args, [])
    assert read_motifs(out)[0].background.tolist() == pytest.approx([0.3, 0.2, 0.2, 0.3])


def test_build_refuses_motifs_without_sites(tmp_path):
    parser = argparse.ArgumentParser()
    add_build_parser(parser.add_subparsers())
    args = parser.parse_args(["build", str(DATA / "lambda_cI.jaspar"), "-o", str(tmp_path / "x.npz")])
    with pytest.raises(ValueError, match="no aligned sites"):
        args.run(args, [])
    assert not (tmp_path / "x.npz").exists()


@pytest.mark.parametrize("out, message", [("sites.txt", "it is the sites file"), ("", "the output path is empty"),
                                          ("newdir/", "it is a directory"), ("readonly.npz", "read-only")])
def test_build_output_is_refused_before_anything_is_read(tmp_path, monkeypatch, out, message):
    monkeypatch.chdir(tmp_path)
    Path("sites.txt").write_bytes((DATA / "sites.txt").read_bytes())
    Path("readonly.npz").write_text("mine\n")
    Path("readonly.npz").chmod(0o400)
    parser = argparse.ArgumentParser()
    add_build_parser(parser.add_subparsers())
    args = parser.parse_args(["build", "sites.txt", "-o", out])
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    with pytest.raises(OSError, match=message):
        args.run(args, [])
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_build_output_keeps_links_and_modes(tmp_path):
    private = tmp_path / "private.npz"
    private.write_text("old\n")
    private.chmod(0o600)
    link = tmp_path / "link.npz"
    link.symlink_to(private)
    motif = read_motifs(DATA / "sites.txt")
    models.save_models(link, motif)
    assert link.is_symlink() and private.stat().st_mode & 0o777 == 0o600
    assert_same_model(models.load_models(private)[0], motif[0])
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with ThreadPoolExecutor(1) as pool:
        read = pool.submit(fifo.read_bytes)
        models.save_models(fifo, motif)
        assert read.result().startswith(b"PK") and fifo.is_fifo()


def rewrite(path, out, change):
    with np.load(path) as archive:
        entries = {k: archive[k] for k in archive.files}
    change(entries)
    np.savez(out, **entries)


@pytest.mark.parametrize("damage, message", [
    (lambda p, out: out.write_bytes(p.read_bytes()[:200]), "not a readable morvane model file"),
    (lambda p, out: out.write_bytes(b"PK\x03\x04 not really"), "not a readable morvane model file"),
    (lambda p, out: rewrite(p, out, lambda e: e.update(version=np.array(2))), "version 2 is newer"),
    (lambda p, out: rewrite(p, out, lambda e: e.update(format=np.array("other"))), "not a morvane model file"),
    (lambda p, out: rewrite(p, out, lambda e: e.pop("0.pair_counts")), "no 'pair_counts' entry"),
    (lambda p, out: rewrite(p, out, lambda e: e.update({"0.pair_counts": np.zeros((5, 5, 3, 3))})),
     "pair counts must have shape"),
    (lambda p, out: rewrite(p, out, lambda e: e.update({"0.counts": np.array(["a"] * 4)})), "must be numbers"),
    (lambda p, out: rewrite(p, out, lambda e: e.update(count=np.array([1, 2]))), "not a single value"),
])
def test_damaged_files_get_a_clear_error(tmp_path, damage, message):
    good = tmp_path / "good.npz"
    models.save_models(good, read_motifs(DATA / "sites.txt"))
    bad = tmp_path / "bad.npz"
    damage(good, bad)
    with pytest.raises(ValueError, match=message):
        models.load_models(bad)


def test_a_file_is_written_whole_or_not_at_all(tmp_path):
    out = tmp_path / "m.npz"
    with pytest.raises(ValueError, match="no DWM"):
        models.save_models(out, [read_motifs(DATA / "sites.txt")[0], Motif.from_counts(np.ones((4, 5)))])
    assert list(tmp_path.iterdir()) == []
    models.save_models(out, read_motifs(DATA / "sites.txt"))
    with zipfile.ZipFile(out) as archive:
        assert "format.npy" in archive.namelist()


def test_morvane_build_then_scan_a_model_file(tmp_path, capsys):
    """The command as users run it: the model file trained by `morvane build` scans like its sites."""
    from morvane.cli import main

    model = tmp_path / "cI.npz"
    assert main(["build", str(DATA / "sites.txt"), "-o", str(model)]) == 0
    runs = []
    for motifs in (model, DATA / "sites.txt"):
        assert main(["scan", str(DATA / "lambda_virus.fa"), str(motifs), "--model", "dwm", "--quiet"]) == 0
        runs.append([line for line in capsys.readouterr().out.splitlines() if not line.startswith("#")])
    assert runs[0] and runs[0] == runs[1]
