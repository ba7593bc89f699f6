"""The library among its neighbours: the examples, the documentation's code,
the shipped type stub, and the package metadata.

Tests that need optional packages (mypy, matplotlib, dask.distributed,
pyjaspar) skip where those are not installed.
"""
import importlib.metadata
import importlib.util
import re
import struct
import subprocess
import sys
import tomllib
import zlib
from collections import namedtuple
from pathlib import Path

import numpy as np
import pysam
import pytest

import morvane
from morvane.utils import sequences as s

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
DOCS = ROOT / "docs"
FASTA = ROOT / "data" / "lambda_virus.fa"
SITES = (ROOT / "data" / "sites.txt").read_text().split()
STUB = ROOT / "src" / "morvane" / "utils" / "sequences.pyi"

Region = namedtuple("Region", "chrom start end")
OL1 = 35590          # forward start of the left operator OL1 in the bundled genome


def run_python(*args, cwd=ROOT, timeout=300):
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)


def ok(result):
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def needs(module):
    """Skips unless `module` is installed, without importing it into the test
    process: the test runs it in a subprocess."""
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed")


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def prepared_pwm(sites):
    pwm = s.SequenceMatrix.create(len(sites[0]), "PWM")
    for site in sites:
        pwm.add_sequence(s.nuc_to_num(site))
    pwm.prepare_mat()
    return pwm


def revcomp(text):
    return text[::-1].translate(str.maketrans("ACGT", "TGCA"))


# ---------------------------------------------------------------- package metadata

def test_one_version_source():
    """The version is written once, in the package; the build reads it into the metadata."""
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in pyproject["project"] and "version" in pyproject["project"]["dynamic"]
    source = pyproject["tool"]["scikit-build"]["metadata"]["version"]
    assert source["provider"] == "scikit_build_core.metadata.regex"
    written = re.findall(r'^__version__ = "(.*)"$', (ROOT / source["input"]).read_text(), re.M)
    assert written == [morvane.__version__] and re.fullmatch(r"\d+\.\d+\.\d+", morvane.__version__)
    try:
        installed = importlib.metadata.version("morvane")
    except importlib.metadata.PackageNotFoundError:
        return  # imported from a build tree rather than an installed distribution
    assert installed == morvane.__version__
    command = Path(sys.executable).with_name("morvane")
    assert ok(subprocess.run([command, "--version"], capture_output=True, text=True)) == f"morvane {installed}\n"


def test_licence_and_lean_requirements_in_the_installed_metadata():
    try:
        dist = importlib.metadata.distribution("morvane")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("imported from a build tree rather than an installed distribution")
    assert dist.metadata["License-Expression"] == "MIT"
    licence = [f for f in dist.files if f.name == "LICENSE"]
    assert licence and "Copyright (c) 2026 The morvane developers" in licence[0].read_text()
    # The examples' and the developers' tools come only with an extra, so that a
    # plain install (and `make demo`) pulls no plotting, cluster or test packages.
    extras = {"plot": "matplotlib", "dask": "dask", "jaspar": "pyjaspar", "test": "pytest",
              "docs": "mkdocs"}
    for requirement in dist.requires:
        name = re.match(r"[A-Za-z0-9_.-]+", requirement).group(0).lower()
        if name in extras.values():
            extra = next(e for e, n in extras.items() if n == name)
            assert f'extra == "{extra}"' in requirement, requirement
    unconditional = {re.match(r"[A-Za-z0-9_.-]+", r).group(0).lower()
                     for r in dist.requires if "extra ==" not in r}
    assert {"numpy", "pysam"} <= unconditional
    assert not unconditional & {"matplotlib", "dask", "pyjaspar", "mypy", "pytest", "mkdocs"}


def test_stub_and_typed_marker_ship_beside_the_module():
    module_dir = Path(s.__file__).parent
    assert (Path(morvane.__file__).parent / "py.typed").is_file()
    shipped = module_dir / "sequences.pyi"
    assert shipped.is_file(), f"no stub next to {s.__file__}"
    assert shipped.read_text() == STUB.read_text(), "the installed stub is not the one in src/"


# ---------------------------------------------------------------- typing

def test_stubtest_finds_the_stub_faithful_to_the_module(tmp_path):
    needs("mypy")
    out = ok(run_python("-m", "mypy.stubtest", "morvane.utils.sequences", cwd=tmp_path))
    assert "Success" in out


def stub_definitions():
    """(qualified name, node) of every public class and callable of the stub."""
    import ast
    found = []

    def walk(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
                found.append((prefix + node.name, node))
                if isinstance(node, ast.ClassDef):
                    walk(node.body, f"{node.name}.")

    walk(ast.parse(STUB.read_text()).body, "")
    return found


def test_stub_documents_every_class_and_callable():
    """IDEs show the stub's docstrings: each says what raises, and names every parameter."""
    import ast
    names = set()
    for name, node in stub_definitions():
        names.add(name)
        doc = ast.get_docstring(node)
        assert doc and len(doc.split()) >= 5, f"{name} has no docstring in the stub"
        if isinstance(node, ast.FunctionDef) and "the `\"DWM\"` form" not in doc:
            params = [a.arg for a in node.args.args if a.arg != "self"]
            for param in params:
                assert re.search(rf"^ +{param}: \S", doc, re.M), f"{name}: {param} undocumented"
            assert "Raises:" in doc, f"{name} does not say what it raises"
        if isinstance(node, ast.ClassDef) and name != "SequenceMatrix":
            assert "Args:" in doc and "Raises:" in doc, f"{name}: constructor undocumented"
    public = {n for n in dir(s) if not n.startswith("_") and callable(getattr(s, n))
              and getattr(getattr(s, n), "__module__", None) == s.__name__}
    public |= {f"{c}.{m}" for c in ("SequenceMatrix", "NucleotideMatrix", "DiNucleotideMatrix",
                                     "GenomicSequence")
               for m in vars(getattr(s, c)) if not m.startswith("_")}
    assert public <= names


def mypy(tmp_path, *args):
    return run_python("-m", "mypy", "--strict", "--no-incremental",
                      "--cache-dir", tmp_path / ".mypy_cache", *args, cwd=tmp_path)


def test_typed_client_type_checks_clean(tmp_path):
    needs("mypy")
    out = ok(mypy(tmp_path, ROOT / "tests" / "typed_client.py"))
    assert "Success: no issues found" in out


def test_type_checker_sees_real_types(tmp_path):
    """The stub types things precisely: misuse is caught, factories are narrowed."""
    needs("mypy")
    bad = tmp_path / "misuse.py"
    bad.write_text(
        "from morvane.utils.sequences import SequenceMatrix, GenomicSequence, nuc_to_num\n"
        "pwm = SequenceMatrix.create(4, 'PWM')\n"
        "pwm.add_sequence([0, 1, 2, 3])\n"                              # 3: a list
        "pwm.add_sequence(nuc_to_num('ACGT'), amount='2')\n"           # 4: a str amount
        "n: int = pwm.score_sequence(nuc_to_num('ACGT'))\n"            # 5: an array
        "pwm.bias_dwm\n"                                               # 6: DWM-only attribute
        "nuc_to_num(b'ACGT')\n"                                        # 7: bytes
        "GenomicSequence(('chr', 0, 4))\n"                             # 8: not a region
        "reveal_type(SequenceMatrix.create(4, 'DWM'))\n"               # 9
        "reveal_type(SequenceMatrix.create(4, 'PWM' if input() else 'DWM'))\n"  # 10
        "reveal_type(pwm.no_bias)\n"                                   # 11
        "SequenceMatrix.create(4, 'pwm')\n"                            # 12: ends with SystemExit
        "SequenceMatrix.create(4, input())\n")                         # 13: any str
    result = mypy(tmp_path, bad)
    assert result.returncode == 1, result.stdout + result.stderr
    lines = result.stdout.splitlines()

    def at(line):
        return " ".join(text for text in lines if text.startswith(f"misuse.py:{line}:"))

    assert "[arg-type]" in at(3) and "list[int]" in at(3)
    assert "[arg-type]" in at(4) and '"amount"' in at(4)
    # (NumPy 1.26 spells float64 as floating[_64Bit])
    assert "[assignment]" in at(5) and re.search(r"float64|floating\[_64Bit\]", at(5))
    assert "[attr-defined]" in at(6) and "bias_dwm" in at(6)
    assert "[arg-type]" in at(7) and "bytes" in at(7)
    assert "[arg-type]" in at(8)
    assert 'Revealed type is "morvane.utils.sequences.DiNucleotideMatrix"' in at(9)
    # (mypy versions spell unions and builtins differently)
    assert re.search(r'Revealed type is ".*\bNucleotideMatrix\b.*\bDiNucleotideMatrix\b', at(10))
    assert re.search(r'Revealed type is ".*\bfloat\b.*\bint\b', at(11))
    # Only the two literal names pass: a typo, or a str not yet checked, is flagged.
    assert "[call-overload]" in at(12) and "[call-overload]" in at(13)
    assert "Found 8 errors" in result.stdout


def test_top_level_names_are_typed(tmp_path):
    """The names `morvane` loads on first use are typed for checkers, not Any."""
    needs("mypy")
    client = tmp_path / "top.py"
    client.write_text(
        "import morvane\n"
        "reveal_type(morvane.Motif)\n"                                # 2
        "reveal_type(morvane.read_motifs('m.jaspar'))\n"              # 3
        "reveal_type(morvane.scan('g.fa', []))\n"                     # 4
        "for hits in morvane.scan.iter_hits('g.fa', [], batch=2):\n"
        "    reveal_type(hits)\n"                                     # 6
        "morvane.scan('g.fa', [], pvalue='1e-4')\n"                   # 7: a str p-value
        "morvane.Motif.from_counts([[1.0]] * 4).threshold(None)\n")   # 8: no p-value
    result = mypy(tmp_path, client)
    lines = result.stdout.splitlines()

    def at(line):
        return " ".join(text for text in lines if text.startswith(f"top.py:{line}:"))

    assert re.search(r'Revealed type is "def \(name: .*\) -> morvane\.motifs\.Motif"', at(2)), at(2)
    assert re.search(r'Revealed type is ".*list\[morvane\.motifs\.Motif\]"', at(3)), at(3)
    assert 'Revealed type is "morvane.scan.Hits"' in at(4) and 'Revealed type is "morvane.scan.Hits"' in at(6)
    assert "[arg-type]" in at(7) and '"pvalue"' in at(7)
    assert "[arg-type]" in at(8)
    assert "Found 2 errors" in result.stdout, result.stdout


def test_typed_client_runs():
    out = ok(run_python(ROOT / "tests" / "typed_client.py"))
    # Its sites are the first 10 bases of OL1, so the best window is centred 5 bases in.
    assert f"best forward window centred at {OL1 + 5}:" in out
    assert "pssm shape (5, 10)" in out and "DiNucleotideMatrix" in out


# ---------------------------------------------------------------- examples

def test_jaspar_scan_prints_hits_that_rescore_to_their_scores():
    pytest.importorskip("pyjaspar")
    out = ok(run_python(EXAMPLES / "jaspar_scan.py", "MA0139.1", "--hits", "8"))
    assert out.startswith("MA0139.1 CTCF")
    assert int(re.search(r"width (\d+)", out).group(1)) == 19
    hits = re.findall(r"^(\S+)\s+(\d+)\s+(\d+)\s+([+-])\s+(-?\d+\.\d\d)\s+(\S+)\s+([ACGT]+)$",
                      out, re.M)
    assert len(hits) == 8
    scores = [float(hit[4]) for hit in hits]
    assert scores == sorted(scores, reverse=True)

    # Each printed site, read again and scored on its own, scores what was printed.
    from pyjaspar import jaspardb

    from morvane.genome import genome_background
    motif = morvane.Motif.from_biopython(jaspardb().fetch_motif_by_id("MA0139.1"))
    motif = motif.with_background(genome_background(FASTA))
    with pysam.FastaFile(str(FASTA)) as fasta:
        for chrom, start, end, strand, score, pvalue, site in hits:
            forward_text = fasta.fetch(chrom, int(start), int(end))
            assert site == (forward_text if strand == "+" else revcomp(forward_text))
            alone = motif.pwm.score_sequence(s.nuc_to_num(site))[19 // 2]
            assert alone == pytest.approx(float(score), abs=0.006)
            assert float(pvalue) <= 1e-4


def test_plot_tracks_writes_a_png(tmp_path):
    needs("matplotlib")
    png = tmp_path / "tracks.png"
    out = ok(run_python(EXAMPLES / "plot_tracks.py", png))
    # The best PWM and DWM hits are OL1, reported at its window centre.
    assert re.search(rf"PWM: best hit \d+\.\d\d centred at NC_001416\.1:{OL1 + 8} ", out)
    assert re.search(rf"DWM: best hit \d+\.\d\d centred at NC_001416\.1:{OL1 + 8} ", out)
    # The dashed lines sit at each matrix's threshold for p = 1e-5, below OL1's score.
    for stype in ("PWM", "DWM"):
        threshold = float(re.search(rf"^{stype}: threshold (\d+\.\d\d) \(p = 1e-05\)$", out, re.M)[1])
        best = float(re.search(rf"^{stype}: best hit (\d+\.\d\d)", out, re.M)[1])
        assert 0 < threshold < best
    # Every operator is found once in the genome, OL1 where data/README.md says,
    # and the axis names the chromosome by accession and organism.
    operators = re.findall(r"^(O[LR][123]) at NC_001416\.1 \(Enterobacteria phage lambda\)"
                           r":(\d+)-(\d+) \(([+-])\)$", out, re.M)
    assert sorted(name for name, *_ in operators) == ["OL1", "OL2", "OL3", "OR1", "OR2", "OR3"]
    assert ("OL1", str(OL1), str(OL1 + 17), "+") in operators
    data = png.read_bytes()
    assert len(data) > 0 and data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert kind == b"IHDR" and length == 13
    width, height = struct.unpack(">II", data[16:24])
    assert width > 500 and height > 500
    assert struct.unpack(">I", data[29:33])[0] == zlib.crc32(data[12:29])
    assert data[-12:] == b"\x00\x00\x00\x00IEND\xaeB`\x82"
    import matplotlib.image
    pixels = matplotlib.image.imread(png)
    assert pixels.shape[:2] == (height, width) and pixels.std() > 0.05   # not a blank canvas


def test_plot_track_helpers():
    pytest.importorskip("matplotlib")
    plot = load_example("plot_tracks")
    track = np.array([np.nan, 3.0, 12.0, 11.0, 12.0, 12.0, 4.0, 10.0, np.nan])
    assert plot.peaks_above(track, 10.0).tolist() == [2, 5, 7]     # a plateau counts once
    with pysam.FastaFile(str(FASTA)) as fasta:
        chrom = fasta.references[0]
        genome = fasta.fetch(chrom)
    assert plot.readable_name(FASTA, chrom) == "NC_001416.1 (Enterobacteria phage lambda)"
    assert plot.readable_name(FASTA, "chrZ") == "chrZ"
    for site in plot.known_sites(plot.OPERATORS, genome):
        text = genome[site.start:site.end]
        assert (text if site.strand == "+" else revcomp(text)) in SITES or site.name == "OR2"


def test_operator_labels_never_overlap():
    """Labels of sites closer than a label's width stack into rows instead of colliding."""
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt
    plot = load_example("plot_tracks")
    fig, ax = plt.subplots(figsize=(6, 2))
    ax.set_xlim(0, 3000)
    xs = [100, 120, 140, 160, 1500, 1510, 2990]
    plot.label_without_overlap(ax, [(x, f"OX{i}") for i, x in enumerate(xs)])
    renderer = fig.canvas.get_renderer()
    boxes = [text.get_window_extent(renderer) for text in ax.texts]
    assert len(boxes) == len(xs)
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])
    assert len({round(text.get_position()[1], 3) for text in ax.texts}) == 4   # four close ones
    plt.close(fig)


def test_plot_tracks_refuses_a_region_outside_the_genome(tmp_path):
    needs("matplotlib")
    result = run_python(EXAMPLES / "plot_tracks.py", tmp_path / "x.png", "--start", "48000",
                        "--end", "60000")
    assert result.returncode == 2 and "must lie within" in result.stderr
    assert not (tmp_path / "x.png").exists()


def test_dask_scan_equals_the_serial_scan():
    needs("distributed")
    out = ok(run_python(EXAMPLES / "dask_scan.py", "--chunk-size", "7000", timeout=600))
    assert re.search(r"^(\d+) hits on the cluster, \1 serially: identical$", out, re.M)
    best = re.search(r"^  \S+:(\d+)-(\d+) ([+-]) ", out, re.M)
    assert best and (int(best.group(1)), int(best.group(2))) == (OL1, OL1 + 17)


# ---------------------------------------------------------------- documentation

def doc_blocks():
    """(page, index, code) of every Python block of docs/; a block whose first line
    says it continues the script above is joined to the block before it."""
    blocks = []
    for page in sorted(DOCS.glob("*.md")):
        previous = ""
        for i, code in enumerate(re.findall(r"```python\n(.*?)```", page.read_text(), re.S)):
            if code.startswith("# continuing"):
                code = previous + "\n" + code
            blocks.append(pytest.param(page.name, code, id=f"{page.stem}-{i}"))
            previous = code
    return blocks


# Something each runnable block prints (blocks that print nothing are only run).
DOC_OUTPUT = {
    "recipes-0": f"{OL1} {OL1 + 17} + 21.45 TATCACCGCCAGTGGTA",
    "recipes-1": "DWM hits; best",
    "recipes-2": f"centred at {OL1 + 8}",
    "recipes-3": "background weight 5704",
    "recipes-4": "CTCF: ",
}


@pytest.mark.parametrize("page, code", doc_blocks())
def test_documentation_code_runs(page, code, request, tmp_path):
    for name in sorted(set(re.findall(r"^(?:from|import) (\w+)", code, re.M))):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed")
    # run beside links to the tree's inputs, so that what a block writes lands in tmp_path
    for name in ("data", "tests"):
        (tmp_path / name).symlink_to(ROOT / name)
    script = tmp_path / "block.py"
    script.write_text(code)
    out = ok(run_python(script, cwd=tmp_path))
    expected = DOC_OUTPUT.get(request.node.callspec.id)
    if expected is not None:
        assert expected in out


def test_every_documented_output_check_names_a_block():
    ids = {param.id for param in doc_blocks()}
    assert set(DOC_OUTPUT) <= ids


def test_docs_site_builds_strictly_with_the_stub_docstrings(tmp_path):
    """The API reference is generated from the stub: every docstring of sequences.pyi
    shows on the page, overloaded `create` included, and broken links fail the build."""
    needs("mkdocstrings_handlers")         # mkdocstrings-python
    import ast
    import html
    site = tmp_path / "site"
    result = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", site],
                            cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    page = html.unescape(re.sub(r"<[^>]+>", "", (site / "reference" / "index.html").read_text()))
    page = " ".join(page.split())
    for name, node in stub_definitions():
        first = " ".join(ast.get_docstring(node).split("\n\n")[0].split())
        first = re.sub(r"\[(`[^`]+`)\]\[[^]]+\]", r"\1", first).replace("`", "")
        if "the \"DWM\" form" not in first:           # overloads show only their signatures
            assert first in page, f"{name}: {first!r} is not in the reference"
    assert "Literal['PWM'] | Literal['DWM']" in page
    assert "Unkown score type" in page
    # The scanning layer's reference comes from its own sources' docstrings.
    import morvane.motifs
    import morvane.scan
    import morvane.stats
    layer = html.unescape(re.sub(r"<[^>]+>", "", (site / "api-scan" / "index.html").read_text()))
    layer = " ".join(layer.split())
    for obj in (morvane.motifs.read_motifs, morvane.motifs.Motif.from_counts, morvane.scan.scan,
                morvane.stats.PwmNull.pvalue, morvane.stats.bh_qvalues):
        first = " ".join(obj.__doc__.split("\n\n")[0].split()).replace("`", "")
        assert first in layer, f"{obj.__qualname__}: {first!r} is not in the scanning layer reference"


def test_reverse_index_is_the_documented_forward_coordinate():
    """revcomp[k] pairs with forward coordinate start + n - 1 - k, and a score at
    reverse index k belongs to the window whose forward start is
    start + n - L - (k - L // 2)."""
    start, end = 12_000, 12_400
    site_start = 12_211
    with pysam.FastaFile(str(FASTA)) as fasta:
        chrom = fasta.references[0]
        g = s.GenomicSequence(Region(chrom, start, end)).from_fasta(fasta)
        for width in (11, 12):                          # odd and even
            site = fasta.fetch(chrom, site_start, site_start + width)
            pwm = prepared_pwm([revcomp(site)])         # matches the reverse strand only
            scores = pwm.score_sequence(g.revcomp)
            k = int(np.nanargmax(scores))
            n = g.length
            assert start + n - width - (k - width // 2) == site_start
            forward = pwm.score_sequence(g.sequence)
            assert np.nanmax(forward) < scores[k]
    pairs = {0: 1, 1: 0, 2: 3, 3: 2, 4: 4}
    n = g.length
    assert all(g.revcomp[k] == pairs[g.sequence[n - 1 - k]] for k in range(n))


def test_documented_pwm_and_dwm_formulas():
    """The formulas of docs/concepts.md, in NumPy, against the module."""
    rng = np.random.default_rng(7)
    L = 5
    sites = [rng.integers(0, 4, L) for _ in range(12)]
    background = [rng.integers(0, 4, L) for _ in range(30)]
    seq = rng.integers(0, 4, 40)
    seq[17] = 4

    pwm, dwm = s.NucleotideMatrix(L), s.DiNucleotideMatrix(L)
    for m in (pwm, dwm):
        for site in sites:
            m.add_sequence(site)
        for codes in background:
            m.add_background(codes)
        m.prepare_mat()

    def position_counts(rows):
        c = np.zeros((5, L))
        for codes in rows:
            c[codes, np.arange(L)] += 1
        return c

    def smoothed(c):
        return (c + 1) / (c[:4].sum(axis=0).mean() + 4)

    def windows(score_of):
        out = np.full(len(seq), np.nan)
        for st in range(len(seq) - L + 1):
            window = seq[st:st + L]
            if window.max() < 4:
                out[st + L // 2] = score_of(window)
        return out

    bias, bg = smoothed(position_counts(sites)), smoothed(position_counts(background))
    np.testing.assert_allclose(pwm.bias_pwm, bias)
    np.testing.assert_allclose(pwm.pssm, np.log2(bias / bg))
    expected = windows(lambda w: np.log2(bias / bg)[w, np.arange(L)].sum())
    np.testing.assert_allclose(pwm.score_sequence(seq), expected, equal_nan=True)

    def pair_model(rows):
        counts = np.zeros((5, 5, L, L))
        for codes in rows:
            counts[codes[:, None], codes[None, :], np.arange(L)[:, None], np.arange(L)[None, :]] += 1
        p = smoothed(position_counts(rows))
        W = float(len(rows))
        P = W if W > 16 else 16.0
        pairs = (counts + P * p[None, :, None, :] * p[:, None, :, None]) / (W + P)
        return np.log2(p), np.log2(pairs)

    models = [pair_model(sites), pair_model(background)]
    np.testing.assert_allclose(dwm.bias_dwm_log, models[0][1])
    np.testing.assert_allclose(dwm.bg_dwm_log, models[1][1])

    def conditional(window, PWM, DWM):
        total = 0.0
        for m in range(L):
            others = [n for n in range(L) if n != m]
            f = np.array([PWM[a, m] + sum(DWM[window[n], a, n, m] - PWM[a, m] for n in others)
                          for a in range(4)])
            total += f[window[m]] - np.log2(np.sum(2.0 ** f))
        return total

    expected = windows(lambda w: conditional(w, *models[0]) - conditional(w, *models[1]))
    np.testing.assert_allclose(dwm.score_sequence(seq), expected, equal_nan=True)
    assert np.isnan(expected[17 - L + 1 + L // 2:17 + L // 2 + 1]).all()
