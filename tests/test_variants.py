"""morvane.variants against brute force: every window over the change on both strands of both
alleles, scored in Python in the scanner's order, p-values by enumeration of every word."""

import itertools
import math
import warnings

import numpy as np
import pysam
import pytest

import morvane
from morvane import Motif
from morvane.variants import BASE_PAIRS, MAX_CHANGE_SAMPLES, change_null, change_pvalue

CODE = {"A": 0, "T": 1, "C": 2, "G": 3}
RC = str.maketrans("ACGTN", "TGCAN")



def assert_same_rows(a, b, drop=None):
    """Two tables hold the same rows, column by column (NaN equal to NaN), `drop` aside."""
    names = [n for n in a.dtype.names if n != drop]
    assert names == [n for n in b.dtype.names if n != drop] and len(a) == len(b)
    for n in names:
        x, y = np.asarray(a[n]), np.asarray(b[n])
        assert np.array_equal(x, y, equal_nan=x.dtype.kind == "f"), n

def write_genome(path, records):
    with open(path, "w") as handle:
        for name, seq in records.items():
            handle.write(f">{name}\n")
            for i in range(0, len(seq), 50):
                handle.write(seq[i:i + 50] + "\n")
    return str(path)


def score(motif, word):
    """The scanner's double: column after column from 0.0; None for a word with N."""
    if any(base not in CODE for base in word):
        return None
    total = 0.0
    for m, base in enumerate(word):
        total += float(motif.pwm.pssm[CODE[base], m])
    return total


_words = {}


def enumerated_pvalue(motif, s):
    """(P(score >= s), P(score >= s - 1e-9)) over every word under the motif's background."""
    if id(motif) not in _words:
        bg = dict(zip("ACGT", motif.background))
        words = list(itertools.product("ACGT", repeat=motif.width))
        scores = np.array([score(motif, word) for word in words])
        probs = np.array([math.prod(bg[b] for b in word) for word in words])
        _words[id(motif)] = (motif, scores, probs)
    _, scores, probs = _words[id(motif)]
    return probs[scores >= s].sum(), probs[scores >= s - 1e-9].sum()


def trim(ref, alt):
    p = 0
    while p < min(len(ref), len(alt)) and ref[p] == alt[p]:
        p += 1
    q = 0
    while q < min(len(ref), len(alt)) - p and ref[-1 - q] == alt[-1 - q]:
        q += 1
    return p, len(ref) - p - q, len(alt) - p - q


def brute_best(motif, haplotype, a, changed):
    """(score, start, strand, sequence, windows) of the best window of `haplotype` overlapping
    [a, a + changed) (the junction at a when changed is 0), '+' before '-', lowest start first."""
    L = motif.width
    best, windows = None, 0
    for s in range(a - L + 1, a + changed):
        if s < 0 or s + L > len(haplotype):
            continue
        word = haplotype[s:s + L]
        for strand, text in (("+", word), ("-", word.translate(RC)[::-1])):
            w = score(motif, text)
            if w is None:
                continue
            windows += 1
            if best is None or w > best[0]:
                best = (w, s, strand, text)
    return best, windows


def brute(genome, variants, motifs, thresholds):
    rows = []
    for chrom, pos, ref, alt in variants:
        seq = genome[chrom]
        p, lr, la = trim(ref, alt)
        a = pos - 1 + p
        hap = seq[:a] + alt[p:p + la] + seq[a + lr:]
        for motif, cut in zip(motifs, thresholds):
            r, wr = brute_best(motif, seq, a, lr)
            x, wa = brute_best(motif, hap, a, la)
            if (r is not None and r[0] >= cut) or (x is not None and x[0] >= cut):
                rows.append((chrom, pos, ref, alt, motif.id, r, x, wr, wa))
    return rows


def random_motif(rng, width, k):
    return Motif.from_counts(rng.integers(0, 12, (4, width)), f"m{k}")


def random_variant(rng, genome):
    chrom = rng.choice(sorted(genome))
    seq = genome[chrom]
    kind = rng.integers(0, 4)
    pos = int(rng.integers(1, len(seq) + 1))
    if kind == 0:                                   # SNV
        ref = seq[pos - 1]
        return chrom, pos, ref, "ACGT"[(("ACGTN".index(ref)) + int(rng.integers(1, 4))) % 4]
    pos = min(pos, len(seq) - 3)
    if kind == 1:                                   # insertion after an anchor base
        return chrom, pos, seq[pos - 1], seq[pos - 1] + "".join(rng.choice(list("ACGT"), int(rng.integers(1, 6))))
    if kind == 2:                                   # deletion
        n = int(rng.integers(1, min(5, len(seq) - pos + 1)))
        return chrom, pos, seq[pos - 1:pos + n], seq[pos - 1]
    ref = seq[pos - 1:pos + 1]                      # two bases for three
    return chrom, pos, ref, "".join(rng.choice(list("ACGT"), 3))


@pytest.mark.parametrize("seed", range(6))
def test_every_allele_pair_against_brute_force(tmp_path, seed):
    rng = np.random.default_rng(seed)
    genome = {f"c{k}": "".join(rng.choice(list("ACGTACGTACGTN"), int(rng.integers(30, 90)))) for k in range(2)}
    path = write_genome(tmp_path / "g.fa", genome)
    motifs = [random_motif(rng, int(w), k) for k, w in enumerate(rng.integers(1, 8, 4))]
    variants = [random_variant(rng, genome) for _ in range(40)]
    pvalue = float(rng.choice([1.0, 0.2, 0.02]))
    thresholds = [m.threshold(pvalue) for m in motifs]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")      # REF holding N is reported when the genome has another letter
        got = morvane.variants(path, variants, motifs, pvalue=pvalue, batch=7)
    want = brute(genome, variants, motifs, thresholds)
    assert len(got) == len(want)
    for row, (chrom, pos, ref, alt, mid, r, x, wr, wa) in zip(got, want):
        assert (row["chrom"], row["pos"], row["ref"], row["alt"], row["motif"]) == (chrom, pos, ref, alt, mid)
        motif = motifs[int(mid[1:])]
        for side, b in (("ref", r), ("alt", x)):
            if b is None:
                assert math.isnan(row[f"{side}_score"]) and row[f"{side}_strand"] == "."
                continue
            assert row[f"{side}_score"] == b[0]
            assert (row[f"{side}_start"], row[f"{side}_strand"], row[f"{side}_sequence"]) == b[1:]
            low, high = enumerated_pvalue(motif, b[0])
            assert low * (1 - 1e-12) <= row[f"{side}_pvalue"] <= high * (1 + 1e-12)
        cut = thresholds[int(mid[1:])]
        ref_in, alt_in = r is not None and r[0] >= cut, x is not None and x[0] >= cut
        assert row["call"] == ("none" if ref_in and alt_in else "gain" if alt_in else "loss")
        pr = 1.0 if r is None else row["ref_pvalue"]
        pa = 1.0 if x is None else row["alt_pvalue"]
        assert row["change_pvalue"] == change_pvalue(np.array([pr]), np.array([pa]), np.array([wr]),
                                                     np.array([wa]))[0]
        _, lr, la = trim(ref, alt)
        snv = lr == la == 1 and {ref[-1], alt[-1]} <= set("ACGT")
        assert np.isnan(row["change_sampled"]) != snv
        assert not snv or 1 / 4096 <= row["change_sampled"] <= 1


def test_change_sampled_is_calibrated_under_random_sequence(tmp_path):
    # SNVs far enough apart to be independent, every pair scored (p = 1)
    rng = np.random.default_rng(5)
    n, spacing, count = 255, 30, 3000
    seq = "".join(rng.choice(list("ACGT"), spacing * (count + 2)))
    path = write_genome(tmp_path / "g.fa", {"r": seq})
    motifs = [random_motif(rng, w, k) for k, w in enumerate((6, 9, 12))]
    variants = [("r", pos, seq[pos - 1], "ACGT"[("ACGT".index(seq[pos - 1]) + int(rng.integers(1, 4))) % 4])
                for pos in range(spacing, spacing * (count + 1), spacing)]
    rows = morvane.variants(path, variants, motifs, pvalue=1.0, change_samples=n)
    assert len(rows) == len(variants) * len(motifs)
    q = rows["change_sampled"]
    for a in (0.05, 0.2, 0.5):
        # the rows' binomial error (motifs at one SNV taken as one draw) and each null's own
        sd = math.sqrt(a * (1 - a) * (1 / count + 1 / ((n + 1) * len(motifs))))
        assert abs(np.mean(q <= a) - a) <= 4 * sd + 1 / (n + 1), a


@pytest.mark.parametrize("background", [None, [0.1, 0.2, 0.3, 0.4]])
def test_change_null_of_a_width_2_motif_against_every_flank(background):
    motif = Motif.from_counts([[5, 0], [1, 3], [0, 7], [2, 1]], "w2", background=background)
    bg = dict(zip("ACGT", motif.background))
    n = 4095
    null = change_null(motif, n)
    assert null.shape == (6, n) and null.dtype == np.float32
    letter = {code: base for base, code in CODE.items()}
    for (a, b), sampled in zip(BASE_PAIRS, null):
        exact = {}
        for x, y in itertools.product("ACGT", repeat=2):
            log_p = []
            for c in (letter[a], letter[b]):
                words = [x + c, c + y]
                best = max(score(motif, w) for w in words + [w[::-1].translate(RC) for w in words])
                log_p.append(math.log10(enumerated_pvalue(motif, best)[0]))
            d = abs(log_p[0] - log_p[1])
            exact[d] = exact.get(d, 0.0) + bg[x] * bg[y]
        values = np.array(sorted(exact))
        cdf = np.cumsum([exact[v] for v in values])
        # between distinct values (apart by more than rounding), the sampled CDF is the exact one,
        # within the DKW bound at 1e-4
        cuts = [(u + v) / 2 for u, v in zip(values, values[1:]) if v - u > 1e-6]
        got = np.searchsorted(sampled, cuts, side="right") / n
        want = cdf[np.searchsorted(values, cuts) - 1]
        assert np.abs(got - want).max() <= math.sqrt(math.log(2 / 1e-4) / (2 * n))
        assert sampled.min() >= 0 and np.all(np.diff(sampled) >= 0)


def test_change_pvalue_is_valid_under_random_sequence():
    # W p <= a has probability <= a for exact window p-values: draw them as uniform
    rng = np.random.default_rng(3)
    w = rng.integers(2, 40, 200_000)
    best = np.array([rng.random(k).min() for k in w])
    other = rng.random(len(w))
    p = change_pvalue(best, other, w, w)
    for a in (0.1, 0.01, 0.001):
        assert np.mean(p <= a) <= a * 1.1


VCF_HEAD = ("##fileformat=VCFv4.2\n##contig=<ID=c0,length=80>\n##contig=<ID=c9>\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")


@pytest.fixture
def small(tmp_path):
    rng = np.random.default_rng(11)
    seq = "".join(rng.choice(list("ACGT"), 80))
    return tmp_path, write_genome(tmp_path / "g.fa", {"c0": seq}), seq, [random_motif(rng, 5, 0)]


def write_vcf(tmp_path, lines, name="v.vcf"):
    path = tmp_path / name
    path.write_text(VCF_HEAD + "".join(line + "\t.\t.\t." * (line.count("\t") < 5) + "\n" for line in lines))
    return str(path)


def test_vcf_roads_agree_and_skips_are_counted(small):
    tmp_path, genome, seq, motifs = small
    other = "A" if seq[9] != "A" else "C"
    lines = [f"c0\t10\trs1\t{seq[9]}\t{other},<DEL>,*", f"c0\t20\t.\t{seq[19]}\t{seq[19]}{'T' * 60}",
             f"c0\t30\tbad\t{'N' if seq[29] != 'N' else 'A'}\tG",
             f"c0\t79\t.\t{seq[78:80]}\t{seq[78]}", "c9\t5\t.\tA\tG"]
    plain = write_vcf(tmp_path, lines)
    pysam.tabix_compress(plain, plain + ".gz")
    pysam.tabix_index(plain + ".gz", preset="vcf")
    header = pysam.VariantHeader()
    for contig in ("c0", "c9"):
        header.contigs.add(contig)
    with pysam.VariantFile(plain) as vin, pysam.VariantFile(str(tmp_path / "v.bcf"), "wb", header=header) as out:
        for r in vin:
            out.write(out.new_record(contig=r.chrom, start=r.start, alleles=r.alleles, id=r.id))
    tsv = tmp_path / "v.tsv"
    tsv.write_text("chrom\tpos\tref\talt\n" + "".join("\t".join(line.split("\t")[i] for i in (0, 1, 3, 4)) + "\n"
                                                    for line in lines))
    tables = []
    for source in (plain, plain + ".gz", str(tmp_path / "v.bcf"), str(tsv)):
        with pytest.warns(UserWarning) as caught:
            tables.append(morvane.variants(genome, source, motifs, pvalue=1.0))
        text = " ".join(str(w.message) for w in caught)
        assert "does not match the genome" in text and "'c9'" in text
    for t in tables[1:]:
        assert_same_rows(t, tables[0], drop="id")
    report = tables[0].report
    assert report.records == 5 and report.alleles == 7 and report.scored == 2
    assert report.skipped == {"symbolic or structural alleles": 2, "changing more than 50 bases": 1,
                              "with a REF that is not the genome's": 1, "on a chromosome the genome lacks": 1}
    assert report.mismatches[0][1:4] == ("c0", 30, "N" if seq[29] != "N" else "A")
    # the deletion at the record's end: windows only where the bases are
    assert set(tables[0]["pos"]) == {10, 79}


def test_empty_vcf(small):
    tmp_path, genome, _, motifs = small
    t = morvane.variants(genome, write_vcf(tmp_path, []), motifs)
    assert len(t) == 0 and t.report.records == 0
    pytest.importorskip("pandas")
    assert list(t.to_dataframe().columns) == list(t.dtype.names)


@pytest.mark.parametrize("kind, line, number", [
    ("vcf", "c0\tx\t.\tA\tG\t.\t.\t.", 6),
    ("tsv", "c0\t12\tA", 3),
    ("tsv", "c0\t0\tA\tG", 3),
])
def test_malformed_lines_name_file_and_line(small, kind, line, number):
    tmp_path, genome, seq, motifs = small
    good = f"c0\t5\t.\t{seq[4]}\tG\t.\t.\t."
    if kind == "vcf":
        path = write_vcf(tmp_path, [good, line])
    else:
        path = tmp_path / "v.txt"
        path.write_text(f"# a comment\nc0\t5\t{seq[4]}\tG\n{line}\n")
    with pytest.raises(ValueError, match=rf"{path}, line {number}"):
        morvane.variants(genome, path, motifs)


def test_overlapping_variants_each_against_the_reference(small):
    tmp_path, genome, seq, motifs = small
    alt = {b: "ACGT"[("ACGT".index(b) + 1) % 4] for b in "ACGT"}
    together = [("c0", 40, seq[39:42], alt[seq[39]] + seq[40:42]), ("c0", 41, seq[40], alt[seq[40]]),
                ("c0", 40, seq[39:42], seq[39])]
    got = morvane.variants(genome, together, motifs, pvalue=1.0)
    alone = [morvane.variants(genome, [v], motifs, pvalue=1.0) for v in together]
    assert_same_rows(got, morvane.variants.join(alone), drop="record")
    assert list(got["record"]) == [1, 2, 3]


def test_scores_are_the_scan_of_each_haplotype(small):
    tmp_path, genome, seq, motifs = small
    hap = seq[:50] + "GATTACA" + seq[51:]
    got = morvane.variants(genome, [("c0", 51, seq[50], "GATTACA")], motifs, pvalue=1.0)[0]
    hits = morvane.scan(write_genome(tmp_path / "h.fa", {"c0": hap}), motifs, threshold=-1e9)
    over = hits[(hits["start"] > 50 - motifs[0].width) & (hits["start"] < 57)]
    assert got["alt_score"] == over["score"].max()
    assert got["alt_pvalue"] == over["pvalue"][np.argmax(over["score"])]


def test_reached_pvalues_bound_the_rest(tmp_path):
    rng = np.random.default_rng(8)
    genome = {"c0": "".join(rng.choice(list("ACGT"), 400))}
    path = write_genome(tmp_path / "g.fa", genome)
    motifs = [random_motif(rng, w, k) for k, w in enumerate((6, 9))]
    variants = [random_variant(rng, genome) for _ in range(60)]
    both = morvane.variants(path, variants, motifs, pvalue=0.01)
    reached = morvane.variants(path, variants, motifs, pvalue=0.01, pvalues="reached")
    assert len(both) == len(reached) > 0
    for side in ("ref", "alt"):
        hit = both["call"] != ("gain" if side == "ref" else "loss")
        assert np.array_equal(reached[f"{side}_pvalue"][hit], both[f"{side}_pvalue"][hit])
        assert np.isnan(reached[f"{side}_pvalue"][~hit]).all()
    assert (reached["change_pvalue"] >= both["change_pvalue"]).all()
    assert (np.abs(reached["log10_ratio"]) <= np.abs(both["log10_ratio"]) + 1e-12).all()


def run_command(argv, capsys):
    from morvane.cli import main
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_command_on_the_bundled_example(tmp_path, capsys):
    from pathlib import Path
    data = Path(__file__).resolve().parent.parent / "data"
    genome, vcf, jaspar = data / "lambda_virus.fa", data / "lambda_variants.vcf", data / "lambda_cI.jaspar"
    out, annotated = tmp_path / "effects.tsv", tmp_path / "annotated.vcf"
    code, _, err = run_command(["variants", genome, vcf, jaspar, "--pvalue", "1e-5", "-o", out,
                                "--vcf-out", annotated], capsys)
    assert code == 0 and "7 rows" in err
    lines = out.read_text().splitlines()
    assert lines[0].startswith("# morvane") and lines[1].split("\t") == list(morvane.variants.COLUMNS)
    rows = [dict(zip(morvane.variants.COLUMNS, line.split("\t"))) for line in lines[2:]]
    table = morvane.variants(str(genome), str(vcf), morvane.read_motifs(jaspar), pvalue=1e-5)
    assert [(r["id"], r["alt"], float(r["ref_score"]), float(r["alt_score"]), r["call"]) for r in rows] == [
        (t["id"], t["alt"], t["ref_score"], t["alt_score"], t["call"]) for t in table]
    calls = {r["id"]: r["call"] for r in rows}
    assert calls["new_site_snv"] == calls["new_site_ins"] == "gain"
    assert calls["OL1_mnv"] == calls["OR1_del3"] == "loss"
    with pysam.VariantFile(str(annotated)) as vcf_in:
        info = {rec.id: rec.info.get("MORVANE") for rec in vcf_in}
    assert len(info) == 6 and len(info["OL1_multi"]) == 2 and info["OL1_mnv"][0].split("|")[2] == "loss"


def test_command_refuses_to_write_over_an_input(tmp_path, capsys):
    genome = write_genome(tmp_path / "g.fa", {"c0": "ACGT" * 20})
    variants = tmp_path / "v.tsv"
    variants.write_text("c0\t5\tA\tG\n")
    motifs = tmp_path / "m.jaspar"
    motifs.write_text(">m0 m0\nA [1 2]\nC [3 1]\nG [0 4]\nT [2 2]\n")
    code, _, err = run_command(["variants", genome, variants, motifs, "-o", variants], capsys)
    assert code == 1 and "it is the variants" in err and variants.read_text() == "c0\t5\tA\tG\n"
    code, _, err = run_command(["variants", genome, variants, motifs, "--vcf-out", tmp_path / "x.vcf"], capsys)
    assert code == 1 and "annotates a VCF" in err
    out = tmp_path / "out.tsv"
    code, _, err = run_command(["variants", genome, variants, motifs, "--change-samples", "-1", "-o", out], capsys)
    assert code == 1 and "change_samples must be 0" in err and not out.exists()


def test_threads_and_batches_keep_the_rows(tmp_path):
    rng = np.random.default_rng(4)
    genome = {f"c{k}": "".join(rng.choice(list("ACGTN"), 300, p=[0.24, 0.24, 0.24, 0.24, 0.04])) for k in range(3)}
    path = write_genome(tmp_path / "g.fa", genome)
    motifs = [random_motif(rng, w, k) for k, w in enumerate((4, 7, 11))]
    variants = [random_variant(rng, genome) for _ in range(150)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        one = morvane.variants(path, variants, motifs, pvalue=0.05)
        many = morvane.variants(path, variants, motifs, pvalue=0.05, threads=2, batch=5)
        turned = morvane.variants(path, variants, motifs[::-1], pvalue=0.05, batch=3)
    assert len(one) and np.isfinite(one["change_sampled"]).any()
    assert_same_rows(one, many)

    def sampled(t):
        return {(r["record"], r["alt"], r["motif"]): r["change_sampled"] for r in t}
    assert sampled(one).keys() == sampled(turned).keys()
    assert all(np.array_equal(v, sampled(turned)[k], equal_nan=True) for k, v in sampled(one).items())


@pytest.mark.parametrize("first, count, motif", [(-1, 2, 0), (0, 20, 0), (0, 1, 1), (3, -1, 0)])
def test_best_refuses_windows_outside_the_codes(first, count, motif):
    from morvane._scan import Scanner
    scanner = Scanner([np.zeros((4, 3))], [0.0])
    with pytest.raises(ValueError):
        scanner.best(np.zeros(10, np.uint8), [first], [count], [motif])


def test_best_of_no_window_reads_no_codes():
    from morvane._scan import Scanner
    scanner = Scanner([np.zeros((4, 3))], [0.0])
    score, start, strand, windows = scanner.best(np.zeros(10, np.uint8), [1 << 40, -5, 10], [0, 0, 0], [0, 0, 0])
    assert np.isnan(score).all() and (start == -1).all() and (strand == 0).all() and (windows == 0).all()


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(pvalue=0), ValueError, "pvalue"),
    (dict(pvalue=1e-3, threshold=2.0), ValueError, "not both"),
    (dict(pvalues="some"), ValueError, "pvalues"),
    (dict(threads=0), ValueError, "threads"),
    (dict(change_samples=-1), ValueError, "change_samples"),
    (dict(change_samples=MAX_CHANGE_SAMPLES + 1), ValueError, "change_samples"),
    (dict(change_samples=2.5), TypeError, "change_samples"),
    (dict(change_samples=True), TypeError, "change_samples"),
])
def test_arguments_checked_at_once(small, kwargs, error, match):
    _, genome, seq, motifs = small
    with pytest.raises(error, match=match):
        morvane.variants.iter_variants(genome, [("c0", 5, seq[4], "G")], motifs, **kwargs)


def test_change_sampled_off_gives_nan(small):
    _, genome, seq, motifs = small
    snv = ("c0", 30, seq[29], "A" if seq[29] != "A" else "C")
    on = morvane.variants(genome, [snv], motifs, pvalue=1.0)
    off = morvane.variants(genome, [snv], motifs, pvalue=1.0, change_samples=0)
    assert np.isfinite(on["change_sampled"]).all() and np.isnan(off["change_sampled"]).all()
    assert_same_rows(on, off, drop="change_sampled")


def test_a_change_the_motif_cannot_tell_is_never_significant(tmp_path):
    # A and C score alike at every column, so do their complements T and G: p_ref = p_alt, and every
    # sampled D ties with it
    rng = np.random.default_rng(6)
    counts = rng.integers(0, 9, (4, 7))
    counts[1], counts[2] = counts[0], counts[3]
    seq = "".join(rng.choice(list("ACGT"), 60))
    seq = seq[:29] + "A" + seq[30:]
    path = write_genome(tmp_path / "g.fa", {"c0": seq})
    rows = morvane.variants(path, [("c0", 30, "A", "C")], [Motif.from_counts(counts, "same")], pvalue=1.0)
    assert rows["log10_ratio"][0] == 0 and rows["change_sampled"][0] == 1


def test_a_genome_read_in_one_pass_is_refused(small):
    import gzip
    tmp_path, genome, seq, motifs = small
    packed = tmp_path / "g.fa.gz"
    packed.write_bytes(gzip.compress(open(genome, "rb").read()))
    with pytest.raises(ValueError, match="reads the genome by position"):
        morvane.variants(str(packed), [("c0", 5, seq[4], "G")], motifs)
