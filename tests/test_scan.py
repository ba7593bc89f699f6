"""The scan engine: against brute force over score_sequence, pysam, Biopython; regions; bad input; Dask."""

import contextlib
from pathlib import Path

import numpy as np
import pysam
import pytest

import morvane
from morvane.genome import genome_background
from morvane.motifs import Motif, read_motifs
from morvane.scan import hits_dtype, iter_columns, iter_hits
from morvane.stats import bh_qvalues
from morvane.utils.sequences import nuc_to_num

DATA = Path(__file__).resolve().parent.parent / "data"
LAMBDA = str(DATA / "lambda_virus.fa")
COMPLEMENT = str.maketrans("ACGTacgt", "TGCAtgca")


def revcomp(text):
    return text.translate(COMPLEMENT)[::-1]


def write_fasta(path, records):
    path.write_text("".join(f">{name}\n{seq}\n" for name, seq in records))
    pysam.faidx(str(path))
    return str(path)


def brute_force(records, motifs, cuts, model="pwm", strand="both"):
    """(chrom, start, motif, strand, score) of every hit, from score_sequence of each strand."""
    hits = []
    for chrom, text in records:
        forward = nuc_to_num(text)
        for k, motif in enumerate(motifs):
            matrix = motif.pwm if model == "pwm" else motif.dwm
            L, n = motif.width, len(text)
            plus = matrix.score_sequence(forward)
            minus = matrix.score_sequence(nuc_to_num(revcomp(text)))
            for s in range(n - L + 1):
                for sign, score in ((1, plus[s + L // 2]), (-1, minus[n - L - s + L // 2])):
                    if strand in ("both", "+-"[sign < 0]) and score >= cuts[k]:
                        hits.append((chrom, s, k, sign, score))
    hits.sort(key=lambda h: ([c for c, _ in records].index(h[0]), h[1], h[2], -h[3]))
    return hits


def as_tuples(table, motifs):
    names = [m.name for m in motifs]
    return [(h["chrom"], int(h["start"]), names.index(h["motif"]), 1 if h["strand"] == "+" else -1,
             float(h["score"])) for h in table]


def random_case(seed, model):
    rng = np.random.default_rng(seed)
    motifs = []
    for k in range(rng.integers(1, 4)):
        width = int(rng.integers(1, 9 if model == "pwm" else 6))
        if model == "pwm":
            motifs.append(Motif.from_counts(rng.integers(0, 9, (4, width)) + 0.5, name=f"m{k}",
                                            background=rng.dirichlet([4] * 4)))
        else:
            sites = ["".join(rng.choice(list("ACGT"), width)) for _ in range(12)]
            motifs.append(Motif.from_sites(sites, name=f"m{k}"))
    letters = list("ACGTACGTacgtNRY")
    records = [(f"chr{i}", "".join(rng.choice(letters, int(rng.integers(0, 300)))))
               for i in range(3)]
    return motifs, records


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("model", ["pwm", "dwm"])
@pytest.mark.parametrize("strand, chunk, threads", [("both", 7, 1), ("both", 50, 2), ("-", 1 << 20, 1)])
def test_hits_equal_brute_force(tmp_path, seed, model, strand, chunk, threads):
    motifs, records = random_case(seed, model)
    cuts = [-np.inf] if seed % 3 == 0 else [float(np.quantile(
        m.pwm.pssm[:4].max(0).sum() - np.arange(4) * m.width / 3, 0.5)) for m in motifs]
    cuts = cuts * len(motifs) if len(cuts) == 1 else cuts
    fasta = write_fasta(tmp_path / "g.fa", records)
    table = morvane.scan(fasta, motifs, threshold=cuts, model=model, strand=strand,
                         chunk_size=chunk, threads=threads)
    assert as_tuples(table, motifs) == brute_force(records, motifs, cuts, model, strand)
    # Windows holding N, R, Y are never hits; soft-masked ones are, in upper case.
    assert all(set(seq) <= set("ACGT") for seq in table["sequence"])


@pytest.mark.parametrize("model", ["pwm", "dwm"])
def test_threads_give_the_same_table(tmp_path, model):
    """Thresholds from p-values, the scan and the hits' p-values, spread over threads or not."""
    fasta = write_fasta(tmp_path / "g.fa", random_case(4, model)[1])
    one, two = (morvane.scan(fasta, random_case(4, model)[0], pvalue=0.05, model=model, threads=threads,
                             chunk_size=64) for threads in (1, 2))
    assert len(one) > 10
    for name in one.dtype.names:
        np.testing.assert_array_equal(one[name], two[name])


@pytest.mark.parametrize("model", ["pwm", "dwm"])
@pytest.mark.parametrize("batch", [1, 7, 10**9])
def test_batches_of_hits_are_the_scan(tmp_path, model, batch):
    motifs, records = random_case(5, model)
    fasta = write_fasta(tmp_path / "g.fa", records)
    whole = morvane.scan(fasta, motifs, pvalue=0.05, model=model, chunk_size=40, qvalue=True)
    tables = list(iter_hits(fasta, motifs, pvalue=0.05, model=model, chunk_size=40, qvalue=True,
                            batch=batch))
    assert len(whole) > 10 and all(len(t) == batch for t in tables[:-1])
    joined = np.concatenate(tables)
    for name in whole.dtype.names:
        np.testing.assert_array_equal(joined[name], whole[name])
    assert list(iter_hits(fasta, motifs, threshold=np.inf, model=model)) == []
    with pytest.raises(ValueError, match="batch"):
        iter_hits(fasta, motifs, batch=0)


@pytest.mark.parametrize("model, strand", [("pwm", "both"), ("pwm", "+"), ("dwm", "both")])
def test_qvalues_count_every_tested_window(tmp_path, model, strand):
    motifs, records = random_case(11, model)
    fasta = write_fasta(tmp_path / "g.fa", records)
    table = morvane.scan(fasta, motifs, threshold=-np.inf, model=model, strand=strand, qvalue=True,
                         chunk_size=40, threads=2)
    for motif in motifs:
        # With every window a hit, the tested windows are the N-free windows of each strand.
        L = motif.width
        tested = sum(max(len(text) - L + 1, 0) - sum(1 for s in range(len(text) - L + 1)
                                                      if set(text[s:s + L].upper()) - set("ACGT"))
                     for _, text in records) * (2 if strand == "both" else 1)
        rows = table[table["motif"] == motif.name]
        assert len(rows) == tested
        np.testing.assert_array_equal(rows["qvalue"], bh_qvalues(rows["pvalue"], tested))
    assert "qvalue" not in morvane.scan(fasta, motifs, threshold=0.0, model=model).dtype.names


def test_hits_reextracted_with_pysam_rescore_exactly():
    motifs = read_motifs(DATA / "lambda_cI.jaspar")
    table = morvane.scan(LAMBDA, motifs, pvalue=1e-4, chunk_size=4096)
    assert len(table) > 10 and set(table["strand"]) == {"+", "-"}
    with pysam.FastaFile(LAMBDA) as fasta:
        for hit in table:
            text = fasta.fetch(hit["chrom"], hit["start"], hit["end"])
            text = text if hit["strand"] == "+" else revcomp(text)
            assert text == hit["sequence"]
            assert motifs[0].pwm.score_sequence(nuc_to_num(text))[8] == hit["score"]
    np.testing.assert_array_equal(table["pvalue"], motifs[0].pvalue(table["score"]))
    assert np.all(table["pvalue"] <= 1e-4)


def test_reverse_strand_worked_example():
    # OL1 is TATCACCGCCAGTGGTA at 35590-35607; its reverse complement is read on '-'.
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    table = morvane.scan(LAMBDA, motif, pvalue=1e-6, regions=[("gi|9626243|ref|NC_001416.1|", 35500, 35700)])
    minus = table[table["strand"] == "-"][0]
    assert (minus["start"], minus["end"], minus["sequence"]) == (35590, 35607, "TACCACTGGCGGTGATA")


def test_both_strands_of_a_palindromic_site_share_their_pvalue():
    # The cI matrix is its own reverse complement: a site read on '+' and on '-' has one exact score,
    # though the two doubles may differ in the last bits (at 35614 and 37997 they do).
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    table = morvane.scan(LAMBDA, motif, pvalue=1e-5)
    plus, minus = table[table["strand"] == "+"], table[table["strand"] == "-"]
    assert plus["start"].tolist() == minus["start"].tolist() and plus.size >= 8
    assert np.any(plus["score"] != minus["score"]), "no site whose strands round apart"
    np.testing.assert_allclose(plus["score"], minus["score"], rtol=1e-14)
    np.testing.assert_array_equal(plus["pvalue"], minus["pvalue"])


def test_agrees_with_biopython_search():
    from Bio.motifs.matrix import PositionSpecificScoringMatrix
    from Bio.Seq import Seq
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    cut = motif.threshold(1e-4)
    log_odds = {b: list(motif.pwm.pssm[row]) for b, row in zip("ACGT", (0, 2, 3, 1))}
    with pysam.FastaFile(LAMBDA) as fasta:
        chrom = fasta.references[0]
        text = fasta.fetch(chrom)
    bio = PositionSpecificScoringMatrix("ACGT", log_odds)
    # Biopython scores in single precision: leave out windows that close to the cut.
    theirs = {(int(p) + (len(text) if p < 0 else 0), "-" if p < 0 else "+")
              for p, s in bio.search(Seq(text), threshold=cut - 1e-3, both=True) if s > cut + 1e-3}
    ours = morvane.scan(LAMBDA, motif, threshold=cut)
    near = np.abs(ours["score"] - cut) <= 1e-3
    assert {(int(h["start"]), h["strand"]) for h in ours[~near]} == theirs


@pytest.mark.parametrize("bed, merged", [
    ("10 60, 40 90, 150 99999", [(10, 90), (150, None)]),     # overlapping; past the record's end
    ("10 57, 57 90", [(10, 57), (57, 90)]),                   # touching: two regions
    ("57 90, 10 57", [(10, 57), (57, 90)]),                   # touching, given in reverse order
    ("10 58, 57 90", [(10, 90)]),                             # one base in common: one
    ("10 57, 58 90", [(10, 57), (58, 90)]),                   # one base apart: two
    ("30 60, 10 90", [(10, 90)]),                             # one inside the other
])
def test_regions_clipped_merged_and_checked(tmp_path, bed, merged):
    motifs, records = random_case(11, "pwm")
    fasta = write_fasta(tmp_path / "g.fa", records)
    chrom, text = max(records, key=lambda r: len(r[1]))
    path = tmp_path / "r.bed"
    path.write_text("track name=x\n" + "".join(f"{chrom}\t{span.replace(' ', chr(9))}\n"
                                                for span in bed.split(", ")))
    cuts = [-np.inf] * len(motifs)
    table = morvane.scan(fasta, motifs, threshold=cuts, regions=path, chunk_size=16)
    merged = [(a, b or len(text)) for a, b in merged]
    expected = [(chrom, s + a, k, sign, score)
                for a, b in merged
                for _, s, k, sign, score in brute_force([(chrom, text[a:b])], motifs, cuts)]
    assert as_tuples(table, motifs) == expected
    # every window free of N is a hit (bases 53 to 60 are): one holds bases 56 and 57 exactly
    # when the regions around them merge, never when they only touch there
    assert any(h["start"] < 57 < h["end"] for h in table) == (merged[0] == (10, 90))
    with pytest.raises(ValueError, match="unknown chromosome 'chrX'"):
        morvane.scan(fasta, motifs, threshold=0, regions=[("chrX", 0, 10)])


def test_edge_inputs(tmp_path):
    motif = Motif.from_counts(np.ones((4, 40)), name="long")
    short = write_fasta(tmp_path / "short.fa", [("s", "ACGT" * 5)])
    assert len(morvane.scan(short, motif, threshold=-np.inf)) == 0     # motif longer than the record
    empty = tmp_path / "empty.fa"
    empty.write_text("")
    table = morvane.scan(str(empty), motif, pvalue=1e-3)
    assert len(table) == 0 and table.dtype.names == hits_dtype().names
    for kwargs, message in [({"pvalue": 1e-3, "threshold": 2.0}, "not both"),
                            ({"model": "dwm"}, "'long' has no DWM"),
                            ({"strand": "+-"}, "strand must be"),
                            ({"pvalue": 0.0}, r"pvalue must be in \(0, 1\]")]:
        with pytest.raises(ValueError, match=message):
            morvane.scan(short, motif, **kwargs)


def test_to_dataframe():
    pd = pytest.importorskip("pandas")
    table = morvane.scan(LAMBDA, read_motifs(DATA / "lambda_cI.jaspar"), pvalue=1e-5)
    frame = table.to_dataframe()
    assert list(frame.columns) == list(hits_dtype().names) and len(frame) == len(table)
    pd.testing.assert_series_equal(frame["score"], pd.Series(np.asarray(table["score"]), name="score"))


def test_genome_background_is_strand_symmetric():
    bg = genome_background(LAMBDA)
    with pysam.FastaFile(LAMBDA) as fasta:
        text = fasta.fetch(fasta.references[0])
    gc = (text.count("C") + text.count("G") + 2) / (len(text) + 4)
    np.testing.assert_allclose(bg, [(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2])
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    table = morvane.scan(LAMBDA, motif, pvalue=1e-5, background="genome")
    np.testing.assert_array_equal(table["pvalue"], motif.with_background(bg).pvalue(table["score"]))


def test_dask_cluster_equals_serial():
    distributed = pytest.importorskip("dask.distributed")
    motifs = read_motifs(DATA / "lambda_cI.jaspar") + [Motif.from_sites(["ACGTA", "ACGTT"], name="toy")]
    serial = morvane.scan(LAMBDA, motifs, pvalue=1e-3, chunk_size=5000)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        spread = morvane.scan(LAMBDA, motifs, pvalue=1e-3, chunk_size=5000, client=client)
    np.testing.assert_array_equal(spread, serial)


# ---------------------------------------------------------------- streaming

def big_case(tmp_path):
    rng = np.random.default_rng(21)
    motifs = [Motif.from_counts(rng.integers(0, 9, (4, w)) + 0.5, name=f"m{w}") for w in (4, 9, 15)]
    records = [(f"chr{i}", "".join(rng.choice(list("ACGTACGTNacgt"), n))) for i, n in enumerate((5000, 37, 2600))]
    return write_fasta(tmp_path / "g.fa", records), motifs


def assert_same_table(got, want):
    assert got.dtype.names == want.dtype.names and len(got) == len(want)
    for name in want.dtype.names:
        np.testing.assert_array_equal(got[name], want[name], err_msg=name)


@pytest.mark.parametrize("qvalue", [False, True])
@pytest.mark.parametrize("chunk, threads, batch", [(1, 1, 1000), (64, 2, 7), (999, 2, 10**9), (1 << 20, 1, 1)])
def test_streamed_hits_equal_the_table_built_at_once(tmp_path, qvalue, chunk, threads, batch):
    fasta, motifs = big_case(tmp_path)
    whole = morvane.scan(fasta, motifs, pvalue=0.05, qvalue=qvalue)
    assert len(whole) > 500
    tables = list(iter_hits(fasta, motifs, pvalue=0.05, qvalue=qvalue, chunk_size=chunk, threads=threads,
                            batch=batch))
    assert all(len(t) == batch for t in tables[:-1]) and 0 < len(tables[-1]) <= batch
    assert_same_table(np.concatenate(tables), whole)
    if qvalue:
        for motif in motifs:
            rows = whole[whole["motif"] == motif.name]
            assert np.all(rows["qvalue"] >= rows["pvalue"])


def test_columns_stream_the_hits_of_a_few_options(tmp_path):
    fasta, motifs = big_case(tmp_path)
    whole = morvane.scan(fasta, motifs, pvalue=0.05, strand="-")
    columns = list(iter_columns(fasta, motifs, pvalue=0.05, strand="-", batch=100))
    assert len(whole) > 500 and max(len(c) for c in columns) == 100      # at most a batch from each chunk
    for name in ("start", "end", "score", "pvalue", "motif"):
        got = np.concatenate([c[name] for c in columns])
        np.testing.assert_array_equal(got, whole[name].astype(got.dtype), err_msg=name)


@pytest.mark.parametrize("complete", [True, False])
def test_handed_values_end_as_their_maker_closed_them(complete):
    from concurrent.futures import CancelledError

    from morvane.scan import Handed
    handed = Handed[int]()
    for value in (3, 1, 2):
        handed.put(value)
    handed.close(complete=complete)
    got = []
    with pytest.raises(CancelledError) if not complete else contextlib.nullcontext():
        got.extend(handed)
    assert got == [3, 1, 2]


@pytest.mark.parametrize("where", ["thresholds", "preparation"])
def test_a_failure_beside_the_scan_is_raised_not_waited_for(monkeypatch, where):
    import morvane.stats

    def fail(*args, **kwargs):
        raise MemoryError
    if where == "thresholds":   # the preparation, fed as thresholds come, ends with them
        monkeypatch.setattr(Motif, "threshold", fail)
    else:                       # before it could say the first p-values may be asked
        monkeypatch.setattr(morvane.stats, "prepare_all", fail)
    with pytest.raises(MemoryError):
        morvane.scan(LAMBDA, read_motifs(str(DATA / "lambda_cI.jaspar")), pvalue=1e-3)


def test_qvalues_ranked_in_blocks_are_bh_qvalues(monkeypatch):
    from morvane import scan as engine
    rng = np.random.default_rng(3)
    p = np.concatenate([rng.random(5000) ** 4, np.repeat(rng.random(30), 20), [np.nan] * 5])
    rng.shuffle(p)
    want = bh_qvalues(p, 20000)
    monkeypatch.setattr(engine, "QVALUE_BLOCK", 97)     # many blocks: the running minimum crosses them
    collect = engine.QValues(1)
    hits = np.zeros(len(p), [("motif", "i4")])
    for lo in range(0, len(p), 1000):
        part = engine.Part("c", hits[lo:lo + 1000], p[lo:lo + 1000], np.array([20000 if lo == 0 else 0]), 0)
        collect.add(part)
    collect.finish()
    part = engine.Part("c", hits, p, np.zeros(1, np.int64), 0)
    np.testing.assert_array_equal(collect(part), want)


def test_hits_stream_before_the_scan_ends(tmp_path, monkeypatch):
    """The first table is handed on after the first chunks, not after the genome."""
    from morvane import scan as engine
    fasta, motifs = big_case(tmp_path)
    read = []
    real = engine.scan_local

    def counting(job, chunks, *args):
        def each():
            for chunk, codes in chunks:
                read.append(chunk)
                yield chunk, codes
        return real(job, each(), *args)
    monkeypatch.setattr(engine, "scan_local", counting)
    tables = iter_hits(fasta, motifs, pvalue=0.05, chunk_size=100, batch=10)
    next(tables)
    assert 0 < len(read) <= 3
    list(tables)
    assert len(read) > 70


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("call, exc, message", [
    (lambda f, m: morvane.scan(None, m), TypeError, "genome must be a FASTA path"),
    (lambda f, m: morvane.scan(f, None), TypeError, "motifs must be a Motif"),
    (lambda f, m: morvane.scan(f, [m, "x"]), TypeError, r"motifs\[1\] is a str, not a morvane Motif"),
    (lambda f, m: morvane.scan(f, m, pvalue=[1e-5]), TypeError, "pvalue must be a number, not list"),
    (lambda f, m: morvane.scan(f, m, pvalue="1e-5"), TypeError, "pvalue must be a number, not str"),
    (lambda f, m: morvane.scan(f, m, threads=1.5), TypeError, "threads must be an integer"),
    (lambda f, m: morvane.scan(f, m, chunk_size=0), ValueError, "chunk_size must be at least 1"),
    (lambda f, m: morvane.scan(f, m, strand=["+"]), ValueError, "strand must be"),
    (lambda f, m: iter_hits(f, m, batch="7"), TypeError, "batch must be an integer"),
    (lambda f, m: iter_hits(f, []), ValueError, "no motifs to scan"),
    (lambda f, m: iter_hits(f, m, regions=5), TypeError, "regions must be a BED path or a list of intervals"),
    (lambda f, m: morvane.scan(f, m, regions=[("chr", 1)]), ValueError, r"region \('chr', 1\): expected chrom"),
    (lambda f, m: iter_hits(f, m, client="tcp://x"), TypeError, "client must be a dask.distributed Client"),
    (lambda f, m: iter_hits(f, m, threshold="3"), TypeError, "threshold must be a number or one number per"),
    (lambda f, m: iter_hits(f, m, threshold={}), TypeError, "threshold must be a number or one number per"),
    (lambda f, m: iter_hits(f, m, threshold=[1, 2]), ValueError, r"one per motif \(1\); got 2"),
])
def test_api_mistakes_name_the_argument(call, exc, message):
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    with pytest.raises(exc, match=message):
        call(LAMBDA, motif)


def test_paths_and_foreign_motifs_are_taken():
    from Bio import motifs as bio_motifs
    jaspar = DATA / "lambda_cI.jaspar"
    want = morvane.scan(LAMBDA, read_motifs(jaspar), pvalue=1e-5)
    with open(jaspar) as handle:
        (bio,) = bio_motifs.parse(handle, "jaspar")
    for genome, motifs in [(LAMBDA.encode(), str(jaspar)), (Path(LAMBDA), jaspar), (LAMBDA, [bio]), (LAMBDA, bio)]:
        assert_same_table(morvane.scan(genome, motifs, pvalue=1e-5), want)


def test_dask_workers_get_an_absolute_path(monkeypatch):
    """A worker may not share the client's working directory."""
    from concurrent.futures import Future

    class Client:
        paths = set()

        def scatter(self, job, broadcast):
            return job

        def map(self, fn, jobs, paths, chunks, pure):
            self.paths |= set(paths)
            out = []
            for job, path, chunk in zip(jobs, paths, chunks):
                future = Future()
                future.set_result(fn(job, path, chunk))
                out.append(future)
            return out

    monkeypatch.chdir(DATA)
    client = Client()
    hits = morvane.scan("lambda_virus.fa", read_motifs("lambda_cI.jaspar"), pvalue=1e-5, client=client)
    assert client.paths == {LAMBDA} and len(hits) > 5


def test_ids_shared_by_motifs_are_told_apart():
    (motif,) = read_motifs(DATA / "lambda_cI.jaspar")
    with pytest.warns(UserWarning, match="'lambda_cI' -> lambda_cI_2, 'lambda_cI' -> lambda_cI_3"):
        table = morvane.scan(LAMBDA, [motif, motif, motif], pvalue=1e-5)
    assert list(dict.fromkeys(table["motif"])) == ["lambda_cI", "lambda_cI_2", "lambda_cI_3"]
    assert set(table["motif_alt"]) == {"cI"}


@pytest.mark.parametrize("width", [8, 14])  # exact DWM tails, then sampled ones
def test_dwm_hits_stream_as_the_whole_table(tmp_path, width):
    """A DWM scan's p-values do not depend on how its hits were grouped into chunks and threads."""
    rng = np.random.default_rng(width)
    motif = Motif.from_sites(["".join(rng.choice(list("ACGT"), width)) for _ in range(40)], name="d")
    records = [(f"chr{i}", "".join(rng.choice(list("ACGTacgtN"), 3000))) for i in range(2)]
    fasta = write_fasta(tmp_path / "g.fa", records)
    whole = morvane.scan(fasta, motif, model="dwm", pvalue=0.02)
    assert len(whole) > 20
    for chunk, threads in ((37, 1), (500, 2)):
        assert_same_table(morvane.scan(fasta, motif, model="dwm", pvalue=0.02, chunk_size=chunk,
                                       threads=threads), whole)


@pytest.mark.parametrize("width", [12, 20, 33])
def test_hits_are_exactly_the_windows_within_the_cut_off(tmp_path, width):
    """At every width, a window is reported at p exactly when its own Motif.pvalue is within p, and
    its reported p-value is that one (the windows just below the threshold are scanned too)."""
    rng = np.random.default_rng(width)
    text = "".join(rng.choice(list("ACGT"), 60_000))
    path = write_fasta(tmp_path / "g.fa", [("chr1", text)])
    motif = Motif.from_counts(rng.dirichlet([0.4] * 4, size=width).T * 100)
    pv = 1e-2
    hits = morvane.scan(path, motif, pvalue=pv)
    t = motif.threshold(pv)
    near = morvane.scan(path, motif, threshold=t - 3.0)
    assert len(hits) > 100 and len(near) > len(hits)
    own = motif.pvalue(near["score"])
    np.testing.assert_array_equal(near["pvalue"], own)
    np.testing.assert_array_equal(near["score"] >= t, own <= pv)
    np.testing.assert_array_equal(np.sort(hits["score"]), np.sort(near["score"][own <= pv]))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("room", [0, 1 << 18, 1 << 30])
def test_pvalues_past_the_room_are_each_motifs_own(tmp_path, monkeypatch, room, threads):
    """However little room the nulls' tables have (none: every hit asked of its motif; some: tables
    given back and listed tops spilled, read back chunk after chunk), every hit's p-value is the
    one a fresh motif gives its score alone."""
    from morvane.stats import tables
    monkeypatch.setattr(tables, "_TABLES", tables._Budget(room))
    rng = np.random.default_rng(17)
    motifs = [Motif.from_counts(rng.integers(0, 40, (4, w)) + 0.5, name=f"m{k}") for k, w in enumerate((6, 13, 17, 22))]
    fasta = write_fasta(tmp_path / "g.fa", [("chr1", "".join(rng.choice(list("ACGT"), 30000)))])
    hits = morvane.scan(fasta, motifs, pvalue=1e-2, chunk_size=3000, threads=threads)
    assert len(hits) > 1000 and len(set(hits["motif"])) == len(motifs)
    for motif in motifs:
        rows = hits[hits["motif"] == motif.name]
        fresh = Motif.from_counts(motif.counts, name=motif.name)
        np.testing.assert_array_equal(rows["pvalue"], fresh.pvalue(rows["score"]), err_msg=motif.name)
