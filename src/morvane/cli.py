"""The `morvane` command.

    morvane scan GENOME MOTIFS... [--pvalue P | --threshold T] [--regions BED]
                 [--model pwm|dwm] [--background uniform|genome|motif|a,c,g,t|FILE]
                 [--motif ID]... [--pseudocount P] [--format FMT]
                 [--threads N] [--qvalue] [--output-format bed|fimo|gff] [-o OUT]
    morvane gc GENOME REGIONS.bed
    morvane build SITES -o MODEL
    morvane variants GENOME VARIANTS MOTIFS... [--pvalue P | --threshold T] [--threads N]
                     [--vcf-out VCF] [-o OUT]
"""

import argparse
import contextlib
import itertools
import os
import signal
import stat
import sys
import threading
import warnings
from collections.abc import Callable
from typing import Any

from . import __version__
from .formats import FORMATS as _MOTIF_READERS
from .output import FORMATS

MOTIF_FORMATS = list(_MOTIF_READERS)

BED_COLUMNS = ("chrom start end name score strand thickStart thickEnd itemRgb motif_alt motif_score pvalue "
               "[qvalue] sequence")


class Interrupted(BaseException):
    """A signal that ends the run (SIGTERM, SIGHUP), raised where the main thread is, so that
    every file being written is removed on the way out, as for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


ENDING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        parser = build_parser()     # the variants command's module imports the scan's
    except ImportError as exc:
        return _cannot_load(exc)
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace, list[str]], int] = args.run
    _fill_standard_streams()
    saved = {signum: signal.getsignal(signum) for signum in ENDING_SIGNALS}
    try:
        if threading.current_thread() is threading.main_thread():
            for signum in ENDING_SIGNALS:
                signal.signal(signum, _end)
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = _show_warning
            return run(args, argv)
    except BrokenPipeError:
        # The reader went away (`morvane scan ... | head`): stop quietly, as other tools do,
        # and keep Python from complaining again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except KeyboardInterrupt:
        return _interrupted(signal.SIGINT)
    except Interrupted as exc:
        return _interrupted(exc.signum)
    except MemoryError:
        print("morvane: error: out of memory", file=sys.stderr)
        return 1
    except ImportError as exc:
        return _cannot_load(exc)
    except (ValueError, TypeError, OSError) as exc:
        print(f"morvane: error: {one_line(str(exc))}", file=sys.stderr)
        return 1
    finally:
        if threading.current_thread() is threading.main_thread():
            for signum, handler in saved.items():
                signal.signal(signum, handler)


def _cannot_load(exc: ImportError) -> int:
    # mostly memory again: a native module that cannot be mapped into a capped address space
    print(f"morvane: error: cannot load {exc.name or 'a module'}: {exc}", file=sys.stderr)
    return 1


def _end(signum: int, frame: object) -> None:
    # one signal ends the run; more while it cleans up are let pass
    for other in ENDING_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Interrupted(signum)


def _interrupted(signum: int) -> int:
    print(f"morvane: interrupted ({signal.Signals(signum).name})", file=sys.stderr)
    return 128 + signum


def _fill_standard_streams() -> None:
    """A closed standard descriptor (`>&-`) gets /dev/null, so that no file opened later takes
    its number and receives what was meant for it; a closed stdout is then refused as output,
    a closed stdin as input, and messages for a closed stderr are dropped."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            opened = os.open(os.devnull, os.O_RDWR)
            if opened != fd:
                os.dup2(opened, fd)
                os.close(opened)
    if sys.stderr is None:
        # else print(file=sys.stderr) writes to stdout: messages would land among the hits
        sys.stderr = open(2, "w", closefd=False)


def one_line(text: str) -> str:
    """A message as one line: names from file stems and headers may hold line breaks."""
    return text.replace("\r", "\\r").replace("\n", "\\n")


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: object = None, line: str | None = None) -> None:
    from .formats import FrequencyNote

    kind = "note" if issubclass(category, FrequencyNote) else "warning"
    print(f"morvane: {kind}: {one_line(str(message))}", file=sys.stderr)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="morvane", description="Fast, exact DNA motif scanning.")
    parser.add_argument("--version", action="version", version=f"morvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)

    scan = commands.add_parser(
        "scan", help="scan a genome for motif hits, written as BED, FIMO's TSV or GFF3",
        description="Scan both strands of a FASTA file for motif hits. Writes BED9+5 by default "
                    f"({BED_COLUMNS}): 0-based half-open forward coordinates on both strands, "
                    "the sequence as read on the hit's strand, score = min(1000, round(-100 log10 p)).")
    scan.add_argument("genome", help="FASTA file (plain, bgzip or gzip; a pipe too), or - for standard input")
    scan.add_argument("motifs", nargs="+",
                      help="motif files (gzipped or not, - for stdin): JASPAR, MEME, TRANSFAC, HOMER, HOCOMOCO, "
                           "count matrices, sites, or DWM model files from morvane build")
    cut = scan.add_mutually_exclusive_group()
    cut.add_argument("--pvalue", type=float, help="p-value cut-off per motif (default 1e-4)")
    cut.add_argument("--threshold", type=float, help="score cut-off for every motif")
    scan.add_argument("--regions", help="BED file: scan only these regions")
    scan.add_argument("--model", choices=("pwm", "dwm"), default="pwm",
                      help="position (default) or dinucleotide model; dwm needs motifs from sites")
    scan.add_argument("--strand", choices=("+", "-", "both"), default="both")
    add_motif_arguments(scan)
    scan.add_argument("--threads", type=int, default=1)
    scan.add_argument("--qvalue", action="store_true",
                      help="add q-values: the Benjamini-Hochberg q-value of each hit among "
                           "every window tested for its motif")
    scan.add_argument("--output-format", choices=FORMATS, default="bed",
                      help="bed (default: BED9 and more columns), fimo (FIMO's TSV) or gff (FIMO's GFF3)")
    scan.add_argument("-o", "--output", default="-", help="output file (default: stdout)")
    scan.add_argument("--quiet", action="store_true", help="no progress bar")
    scan.set_defaults(run=run_scan)

    gc = commands.add_parser("gc", help="pooled GC content of BED regions",
                             description="Print the GC fraction of the regions of a BED file, pooled.")
    gc.add_argument("genome", help="FASTA file (plain, bgzip or gzip; a pipe too), or - for standard input")
    gc.add_argument("regions", help="BED file")
    gc.set_defaults(run=run_gc)

    from .build import add_build_parser
    add_build_parser(commands)
    from .variants import add_variants_parser
    add_variants_parser(commands)
    return parser


def add_motif_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of the motifs and their background, as scan and variants take them."""
    parser.add_argument("--background", default="uniform", type=background_arg,
                        help="uniform (default), genome (measured from GENOME), motif (each MEME file's own "
                             "background line), four probabilities a,c,g,t, or a MEME background file")
    parser.add_argument("--motif", action="append", metavar="ID",
                        help="use only the motif with this id (repeatable; default: every motif of the files)")
    parser.add_argument("--pseudocount", type=float,
                        help="pseudo-count per base (default: 1 for counts, 0.1 spread by the background for "
                             "probabilities, as FIMO's --motif-pseudo)")
    parser.add_argument("--format", choices=MOTIF_FORMATS, help="motif file format (default: guessed)")


def read_motif_arguments(args: argparse.Namespace, progress: Any) -> tuple[list[Any], Any]:
    """The motifs of args.motifs (with --format, --pseudocount, --motif) and the background that
    replaces theirs (None: they keep their own). A background of the motif files' own (their line,
    or a background file) is given to the motifs as they are read."""
    from .background import read_background
    from .motifs import Background, read_motifs, select_motifs

    background = args.background
    own: Background = None
    if background == "motif":
        own, background = "motif", None
    elif isinstance(background, str) and background not in ("uniform", "genome"):
        own, background = read_background(background), None
    progress.stage("motifs", len(args.motifs), " files")
    motifs = []
    for path in args.motifs:
        motifs += read_motifs(path, args.format, pseudocount=args.pseudocount, background=own)
        progress.advance()
    if args.motif:
        motifs = select_motifs(motifs, args.motif)
    return motifs, background


def background_arg(text: str) -> str | list[float]:
    # a background file may be a pipe (<(...)) too
    if text in ("uniform", "genome", "motif") or (os.path.exists(text) and not os.path.isdir(text)):
        return text
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) != 4:
        raise argparse.ArgumentTypeError(
            f"expected uniform, genome, motif, four probabilities a,c,g,t or a background file; got {text!r}")
    return values


def run_scan(args: argparse.Namespace, argv: list[str]) -> int:
    from .output import HitWriter, Output, WriteBehind, command_line
    from .progress import Progress
    from .scan import iter_columns

    stages = [("motifs", 1), ("thresholds", 1), ("scan", 8)] + ([("q-values", 2)] if args.qvalue else [])
    progress = Progress(not args.quiet, stages)
    try:
        # refused before anything is read or written
        _stdin_once([("the genome", args.genome), *(("a motif file", path) for path in args.motifs)])
        output = Output(args.output, [("the genome", args.genome), ("the genome's index", args.genome + ".fai"),
                                      ("the genome's gzip index", args.genome + ".gzi"),
                                      ("the regions file", args.regions),
                                      ("the background file", args.background if isinstance(args.background, str)
                                       and args.background not in ("uniform", "genome", "motif") else None),
                                      *(("a motif file", path) for path in args.motifs)])
        motifs, background = read_motif_arguments(args, progress)
        options = dict(pvalue=args.pvalue, threshold=args.threshold, regions=args.regions,
                       strand=args.strand, model=args.model, background=background,
                       threads=args.threads, progress=progress, qvalue=args.qvalue)
        # a table of a slice of the hits at a time, as the scan hands them on: a genome's worth
        # of them never sits in memory; the first is waited for before the output is opened, so
        # that bad input (regions, a cut-off) leaves nothing written
        with contextlib.closing(iter_columns(args.genome, motifs, **options)) as tables:
            first = next(tables, None)
            # the text is made and written on a thread of its own while the scan goes on
            with output as handle, WriteBehind(HitWriter(handle, args.output_format, args.qvalue,
                                                         command_line(["morvane", *argv]))) as writer:
                for hits in itertools.chain([first] if first is not None else [], tables):
                    writer.write(hits)
                writer.close()
        progress.close(done=True)
    finally:
        progress.close()
    return 0


def _stdin_once(inputs: list[tuple[str, str]]) -> None:
    """Refuses standard input named by two inputs ("-", or /dev/stdin on a pipe): the first
    would read it all and the second find it empty."""
    try:
        info = os.fstat(0)
        stream = not stat.S_ISREG(info.st_mode)
    except OSError:
        stream = False
    readers = []
    for what, path in inputs:
        if path == "-":
            readers.append(what)
        elif stream:
            try:
                if os.path.samestat(os.stat(path), info):
                    readers.append(what)
            except OSError:
                pass
    if len(readers) > 1:
        raise ValueError(f"standard input is given as {' and as '.join(dict.fromkeys(readers))} "
                         f"({len(readers)} times): it can be read once")


def run_gc(args: argparse.Namespace, argv: list[str]) -> int:
    from .genome import gc_content
    from .output import Output

    output = Output("-")        # a closed stdout refused before the genome is read
    gc = gc_content(args.genome, args.regions)
    with output as handle:
        handle.write(f"{gc:.6f}\n".encode())
    return 0


if __name__ == "__main__":
    sys.exit(main())
