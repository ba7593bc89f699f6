"""The morvane command: a run on the bundled genome, usage errors, output safety, gc."""

import os
import shlex
import signal
import stat
import subprocess
import sys
import time
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
    assert lines[1].split("\t") == ["# chrom", "start", "end", "name", "score", "strand", "thickStart", "thickEnd",
                                    "itemRgb", "motif_alt", "motif_score", "pvalue", "sequence"]
    rows = [line.split("\t") for line in lines if not line.startswith("#")]
    expected = morvane.scan(LAMBDA, morvane.read_motifs(JASPAR), pvalue=1e-5)
    assert [(r[0], int(r[1]), int(r[2]), r[3], r[5], r[9], float(r[10]), r[12]) for r in rows] == [
        (h["chrom"], h["start"], h["end"], h["motif"], h["strand"], h["motif_alt"], h["score"], h["sequence"])
        for h in expected]
    assert all(r[6:9] == [r[1], r[2], "0"] for r in rows)
    assert [r[10] for r in rows] == [repr(float(h["score"])) for h in expected]
    assert [r[11] for r in rows] == [format(float(h["pvalue"]), ".6g") for h in expected]
    assert [int(r[4]) for r in rows] == [min(1000, round(-100 * np.log10(h["pvalue"]))) for h in expected]
    operators = {int(line.split("\t")[1]) for line in (DATA / "lambda_operators.bed").read_text().splitlines()}
    assert operators - {int(r[1]) for r in rows} == {37973}        # all but OR2, on both strands
    subprocess.run([command, "scan", LAMBDA, JASPAR, "--pvalue", "1e-5", "--qvalue", "-o", out], check=True)
    lines = out.read_text().splitlines()
    assert lines[1].split("\t")[-2:] == ["qvalue", "sequence"]
    with_q = [line.split("\t") for line in lines if not line.startswith("#")]
    assert [r[:12] + r[13:] for r in with_q] == rows
    qvalues = morvane.scan(LAMBDA, morvane.read_motifs(JASPAR), pvalue=1e-5, qvalue=True)["qvalue"]
    assert [r[12] for r in with_q] == [format(float(q), ".6g") for q in qvalues]
    assert all(float(r[12]) >= float(r[11]) for r in with_q)       # a q-value never undercuts its p


@pytest.mark.parametrize("fmt, first", [("fimo", "motif_id\tmotif_alt_id"), ("gff", "##gff-version 3")])
def test_output_formats(tmp_path, capsys, fmt, first):
    code, io = run(["scan", LAMBDA, JASPAR, "--pvalue", "1e-5", "--output-format", fmt, "--quiet"], capsys)
    lines = io.out.splitlines()
    hits = morvane.scan(LAMBDA, morvane.read_motifs(JASPAR), pvalue=1e-5)
    assert code == 0 and lines[0].startswith(first)
    rows = [line.split("\t") for line in lines if not line.startswith(("#", "motif_id"))]
    assert len(rows) == len(hits)
    starts = [int(r[3]) for r in rows]
    assert starts == (hits["start"] + 1).tolist()
    assert any(line.startswith(f"# morvane {morvane.__version__}: morvane scan") for line in lines)


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


def test_bad_regions_write_nothing_to_stdout(tmp_path, capsys):
    bed = tmp_path / "r.bed"
    bed.write_text("chrX\t0\t10\n")
    code, io = run(["scan", LAMBDA, JASPAR, "--regions", bed, "--quiet"], capsys)
    assert (code, io.out) == (1, "") and "unknown chromosome 'chrX'" in io.err


@pytest.mark.parametrize("extra", [[], ["--qvalue"]])
@pytest.mark.parametrize("raised, code, message", [
    (KeyboardInterrupt, 130, "morvane: interrupted (SIGINT)"),
    (MemoryError, 1, "morvane: error: out of memory"),
])
def test_a_run_ended_midway_leaves_no_file(tmp_path, capsys, monkeypatch, extra, raised, code, message):
    import morvane.output

    def fail(*args, **kwargs):
        raise raised
    monkeypatch.setattr(morvane.output.HitWriter, "rows", fail)
    out = tmp_path / "hits.bed"
    assert run(["scan", LAMBDA, JASPAR, "-o", out, "--quiet", *extra], capsys) == (code, ("", message + "\n"))
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


# ---------------------------------------------------------------- the output file and the run's end

MORVANE = Path(sys.executable).with_name("morvane")


@pytest.fixture
def inputs(tmp_path):
    """A copy of the bundled genome with its index, a motif file and a regions file, in tmp_path."""
    for name in ("lambda_virus.fa", "lambda_virus.fa.fai", "lambda_cI.jaspar", "lambda_operators.bed"):
        (tmp_path / name).write_bytes((DATA / name).read_bytes())
    return tmp_path


def scan_to(inputs, out, *extra):
    return subprocess.run([MORVANE, "scan", inputs / "lambda_virus.fa", inputs / "lambda_cI.jaspar",
                           "--regions", inputs / "lambda_operators.bed", "--threshold", "0", "--quiet",
                           "-o", out, *extra], capture_output=True, text=True)


def files(directory):
    return {p.name: p.read_bytes() for p in sorted(Path(directory).iterdir()) if not p.is_dir()}


@pytest.mark.parametrize("name", ["lambda_virus.fa", "lambda_virus.fa.fai", "lambda_cI.jaspar",
                                  "lambda_operators.bed", "link", "background.txt", "unindexed.fa.fai"])
def test_an_input_is_never_the_output(inputs, name):
    (inputs / "link").symlink_to(inputs / "lambda_cI.jaspar")
    (inputs / "background.txt").write_text("A 0.3\nC 0.2\nG 0.2\nT 0.3\n")
    # an index the run would write is an input too, though it does not exist yet
    (inputs / "unindexed.fa").write_bytes((inputs / "lambda_virus.fa").read_bytes())
    before = files(inputs)
    genome = "unindexed.fa" if name.startswith("unindexed") else "lambda_virus.fa"
    result = subprocess.run([MORVANE, "scan", inputs / genome, inputs / "lambda_cI.jaspar", "--regions",
                             inputs / "lambda_operators.bed", "--background", inputs / "background.txt",
                             "--quiet", "-o", inputs / name], capture_output=True, text=True)
    assert result.returncode == 1 and "an input" in result.stderr and "Traceback" not in result.stderr
    assert files(inputs) == before


@pytest.mark.parametrize("args", ["- {0}/lambda_cI.jaspar", "{0}/lambda_virus.fa -"])
def test_the_file_behind_standard_input_is_an_input(inputs, args):
    source = inputs / ("lambda_cI.jaspar" if args.endswith("-") else "lambda_virus.fa")
    before = files(inputs)
    result = subprocess.run(["bash", "-c", f"'{MORVANE}' scan {args.format(inputs)} --quiet -o '{source}' "
                             f"< '{source}'"], capture_output=True, text=True)
    assert result.returncode == 1 and "(standard input), an input" in result.stderr
    assert files(inputs) == before


@pytest.mark.parametrize("out, message", [("", "the output path is empty"), ("newdir/", "it is a directory"),
                                          ("missing/hits.bed", "no such directory"),
                                          ("readonly.bed", "read-only")])
def test_unwritable_outputs_are_refused_up_front(inputs, monkeypatch, out, message):
    monkeypatch.chdir(inputs)
    (inputs / "readonly.bed").write_text("mine\n")
    (inputs / "readonly.bed").chmod(0o400)
    before = files(inputs)
    result = scan_to(inputs, out)
    assert (result.returncode, result.stdout) == (1, "") and message in result.stderr
    assert result.stderr.count("\n") == 1 and files(inputs) == before


def test_outputs_that_are_not_plain_files(inputs):
    private = inputs / "private.bed"
    private.write_text("old\n")
    private.chmod(0o600)
    assert scan_to(inputs, private).returncode == 0
    assert stat.S_IMODE(private.stat().st_mode) == 0o600 and private.read_text().startswith("# morvane")
    (inputs / "link.bed").symlink_to(private)
    assert scan_to(inputs, inputs / "link.bed").returncode == 0 and (inputs / "link.bed").is_symlink()
    assert scan_to(inputs, "/dev/null").returncode == 0 and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    (inputs / "out").symlink_to("/dev/stdout")
    result = scan_to(inputs, inputs / "out")
    assert result.returncode == 0 and result.stdout.startswith("# morvane") and (inputs / "out").is_symlink()
    assert not [p for p in inputs.iterdir() if p.name.startswith(".morvane-")]


@pytest.mark.parametrize("command", ["scan {0}/lambda_virus.fa {0}/lambda_cI.jaspar --quiet",
                                     "gc {0}/lambda_virus.fa {0}/lambda_operators.bed",
                                     "build {1}/sites.txt -o -"])
def test_closed_stdout_is_one_message(inputs, command):
    result = subprocess.run(["bash", "-c", f"'{MORVANE}' {command.format(inputs, DATA)} >&-"],
                            capture_output=True, text=True)
    assert result.returncode == 1 and result.stderr == "morvane: error: cannot write to standard output: it is closed\n"


@pytest.mark.parametrize("inputs_, message", [
    ("- -", "the genome and as a motif file (2 times)"),
    ("/dev/stdin -", "the genome and as a motif file (2 times)"),
    ("{0}/lambda_virus.fa - -", "a motif file (2 times)"),
])
def test_standard_input_is_read_once(inputs, inputs_, message):
    result = subprocess.run(["bash", "-c", f"cat '{inputs}/lambda_cI.jaspar' | '{MORVANE}' scan "
                             f"{inputs_.format(inputs)} --quiet"], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"morvane: error: standard input is given as {message}: it can be read once\n"


@pytest.mark.parametrize("motifs", ["lambda_cI.jaspar lambda_cI.jaspar", "lambda_virus.fa"])  # a warning; an error
def test_closed_stderr_keeps_messages_out_of_the_hits(inputs, motifs):
    paths = " ".join(f"'{inputs}/{name}'" for name in motifs.split())
    result = subprocess.run(["bash", "-c", f"'{MORVANE}' scan '{inputs}/lambda_virus.fa' {paths} --quiet 2>&-"],
                            capture_output=True, text=True)
    assert "morvane:" not in result.stdout and result.returncode == (0 if "jaspar" in motifs else 1)


@pytest.mark.parametrize("args", ["- {0}/lambda_cI.jaspar", "{0}/lambda_virus.fa -"])
def test_closed_stdin_is_one_message(inputs, args):
    result = subprocess.run(["bash", "-c", f"'{MORVANE}' scan {args.format(inputs)} --quiet 0<&-"],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "morvane: error: cannot read standard input: it is closed\n"


def test_a_background_file_through_a_pipe(inputs):
    def hits(background):
        command = f"'{MORVANE}' scan '{inputs}/lambda_virus.fa' '{inputs}/lambda_cI.jaspar' --quiet " \
                  f"--pvalue 1e-3 --background {background} | grep -v '^#'"
        return subprocess.run(["bash", "-c", command], capture_output=True, text=True, check=True).stdout
    bg = MOTIF_FILES / "toy.bg"
    assert hits(f"<(cat '{bg}')") == hits(f"'{bg}'") != hits("uniform")


def test_a_module_that_cannot_load_is_one_message(tmp_path):
    """Under a capped address space a native module may fail to map: no traceback then either."""
    code = (f"import sys; sys.modules['morvane.scan'] = None; from morvane.cli import main; "
            f"sys.exit(main(['scan', {LAMBDA!r}, {JASPAR!r}, '-o', {str(tmp_path / 'hits.bed')!r}]))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stderr.count("\n")) == (1, 1) and "Traceback" not in result.stderr
    assert result.stderr.startswith("morvane: error: cannot load morvane.scan") and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("fmt, fields, name", [("bed", 13, "my_sites"), ("fimo", 10, "my sites"),
                                               ("gff", 9, None)])
def test_names_and_arguments_never_break_lines(inputs, fmt, fields, name):
    sites = inputs / "my\tsites.txt"                  # the motif takes the file's stem as its name
    sites.write_text("ACGTACGTAC\nACGTACGTTC\n")
    out = inputs / "two\nlines.txt"
    result = subprocess.run([MORVANE, "scan", inputs / "lambda_virus.fa", sites, "--threshold", "0", "--quiet",
                             "--output-format", fmt, "-o", out], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    lines = out.read_text().splitlines()
    command = [line for line in lines if line.startswith("# morvane")]
    assert len(command) == 1 and command[0].endswith("-o " + shlex.quote(str(out)).replace("\n", "\\n"))
    rows = [line.split("\t") for line in lines if not line.startswith(("#", "motif_id"))]
    assert len(rows) > 10 and {len(r) for r in rows} == {fields}
    if name is not None:
        assert {r[3 if fmt == "bed" else 0] for r in rows} == {name}


@pytest.mark.parametrize("fmt", ["bed", "fimo", "gff"])
def test_names_that_are_not_utf8_come_back_as_their_bytes(inputs, fmt):
    sites = os.path.join(os.fsencode(inputs), b"s\xff.txt")        # the motif's id is the stem, b"s\xff"
    with open(sites, "wb") as handle:
        handle.write(b"ACGTACGTAC\nACGTACGTTC\n")
    result = subprocess.run([MORVANE, "scan", inputs / "lambda_virus.fa", sites, "--threshold", "0", "--quiet",
                             "--output-format", fmt], capture_output=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert sum(b"s\xff.txt" in line and line.startswith(b"# morvane") for line in lines) == 1
    assert sum(b"s\xff" in line for line in lines) > 10


def test_warnings_are_one_line_each(inputs, tmp_path):
    # ids are unique within a file; two files may share one
    copy = inputs / "copy.jaspar"
    copy.write_text((DATA / "lambda_cI.jaspar").read_text())
    result = subprocess.run([MORVANE, "scan", inputs / "lambda_virus.fa", DATA / "lambda_cI.jaspar", copy,
                             "--threshold", "30", "--quiet"],
                            capture_output=True, text=True)
    best = f"{morvane.read_motifs(JASPAR)[0]._pwm_null().max_score:.6g}"
    assert result.returncode == 0
    assert result.stderr.splitlines() == [
        "morvane: warning: motifs share an id; named apart in the hits: 'lambda_cI' -> lambda_cI_2",
        "morvane: warning: 2 of 2 motifs cannot reach the cut-off (threshold > best score), so have no hits: "
        f"lambda_cI (30 > {best}), lambda_cI_2 (30 > {best})"]


def test_names_with_line_breaks_keep_messages_on_one_line(inputs):
    sites = inputs / "two\nlines.txt"                   # the motifs take the file's stem as their id
    sites.write_text("ACG\nACT\n")
    result = subprocess.run([MORVANE, "scan", inputs / "lambda_virus.fa", sites, sites, "--quiet"],
                            capture_output=True, text=True)
    assert result.returncode == 0 and len(result.stderr.splitlines()) == 2
    assert "two\\nlines_2 (inf > " in result.stderr


def big_genome(directory):
    rng = np.random.default_rng(0)
    path = directory / "big.fa"
    bases = np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 8_000_000)]
    path.write_bytes(b">big\n" + bases.tobytes() + b"\n")
    return path


@pytest.mark.parametrize("extra", [[], ["--qvalue"]])
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_signals_end_the_run_and_leave_no_file(tmp_path, signum, extra):
    genome = big_genome(tmp_path)
    out = tmp_path / "hits.bed"
    run = subprocess.Popen([MORVANE, "scan", genome, JASPAR, "--threshold", "-1000", "--quiet", "-o", out,
                            *extra], stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    # the output's temporary file is there once the first hits are: millions more are to come
    while not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]:
        assert run.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    assert run.poll() is None, "the run ended before it was interrupted"
    run.send_signal(signum)
    assert run.wait(60) == 128 + signum
    assert run.stderr.read() == f"morvane: interrupted ({signal.Signals(signum).name})\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.fa", "big.fa.fai"]


MOTIF_FILES = Path(__file__).resolve().parent / "data" / "motifs"


def hit_rows(text):
    return [line.split("\t") for line in text.splitlines() if not line.startswith("#")]


@pytest.mark.parametrize("extra, motifs, options", [
    (["--motif", "M1"], ["toy.meme"], dict(ids=["M1"])),
    (["--pseudocount", "0.5"], ["toy.meme"], dict(pseudocount=0.5)),
    (["--background", "motif"], ["toy.meme"], dict(background="motif")),
    (["--background", MOTIF_FILES / "toy.bg"], ["toy.meme"], dict(background=[0.3, 0.2, 0.2, 0.3])),
    (["--motif", "M1", "--motif", "lambda_cI"], ["toy.meme", DATA / "lambda_cI.jaspar"], None),
])
def test_motif_options_are_the_readers(capsys, extra, motifs, options):
    """--motif, --pseudocount and --background motif|FILE give the hits of read_motifs with the same
    options, scanned with the motifs' own backgrounds."""
    paths = [MOTIF_FILES / name for name in motifs]
    code, out = run(["scan", LAMBDA, *paths, "--threshold", "-50", "--quiet", *extra], capsys)
    assert code == 0, out.err
    rows = hit_rows(out.out)
    if options is None:  # ids picked across files
        assert {row[3] for row in rows} == {"M1", "lambda_cI"}
        return
    ids = options.pop("ids", None)
    want = [m for path in paths for m in morvane.read_motifs(path, **options)]
    want = [m for m in want if ids is None or m.id in ids]
    hits = morvane.scan(LAMBDA, want, threshold=-50)
    assert len(rows) == len(hits) > 0
    assert [float(row[10]) for row in rows] == hits["score"].tolist()


def test_unknown_motif_id_lists_the_ids_and_writes_nothing(tmp_path, capsys, no_scan):
    out = tmp_path / "hits.bed"
    code, streams = run(["scan", LAMBDA, MOTIF_FILES / "toy.meme", "--motif", "M9", "-o", out], capsys)
    assert code == 1 and not out.exists()
    assert "'M9'" in streams.err and "M1" in streams.err and "M2" in streams.err


def test_frequencies_in_a_count_file_are_a_note(capsys):
    code, out = run(["scan", LAMBDA, MOTIF_FILES / "freq.jaspar", "--threshold", "100", "--quiet"], capsys)
    assert code == 0
    assert any(line.startswith("morvane: note: ") for line in out.err.splitlines()), out.err
