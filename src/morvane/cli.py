"""The `morvane` command.

    morvane scan GENOME MOTIFS... [--pvalue P | --threshold T] [--regions BED]
                 [--model pwm|dwm] [--background uniform|genome|a,c,g,t]
                 [--threads N] [--qvalue] [-o OUT]
    morvane gc GENOME REGIONS.bed
"""

import argparse
import os
import shlex
import sys
import tempfile
import warnings
from collections.abc import Callable
from types import TracebackType
from typing import IO

from . import __version__

BED_COLUMNS = "chrom start end name score strand pvalue sequence"


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace, list[str]], int] = args.run
    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            return run(args, argv)
    except BrokenPipeError:
        # The reader went away (`morvane scan ... | head`): stop quietly, as other tools do,
        # and keep Python from complaining again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (ValueError, OSError) as exc:
        print(f"morvane: error: {exc}", file=sys.stderr)
        return 1


def show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: IO[str] | None = None, line: str | None = None) -> None:
    print(f"morvane: warning: {message}", file=sys.stderr)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="morvane", description="Fast, exact DNA motif scanning.")
    parser.add_argument("--version", action="version", version=f"morvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)

    scan = commands.add_parser(
        "scan", help="scan a genome for motif hits, written as BED6+2",
        description="Scan both strands of a FASTA file for motif hits. Writes BED6+2 "
                    f"({BED_COLUMNS}): 0-based half-open forward coordinates on both strands, "
                    "the sequence as read on the hit's strand.")
    scan.add_argument("genome", help="FASTA file (plain, bgzip or gzip; a pipe too), or - for standard input")
    scan.add_argument("motifs", nargs="+",
                      help="motif files: JASPAR, MEME minimal, TRANSFAC, count matrices or sites")
    cut = scan.add_mutually_exclusive_group()
    cut.add_argument("--pvalue", type=float, help="p-value cut-off per motif (default 1e-4)")
    cut.add_argument("--threshold", type=float, help="score cut-off for every motif")
    scan.add_argument("--regions", help="BED file: scan only these regions")
    scan.add_argument("--model", choices=("pwm", "dwm"), default="pwm",
                      help="position (default) or dinucleotide model; dwm needs motifs from sites")
    scan.add_argument("--strand", choices=("+", "-", "both"), default="both")
    scan.add_argument("--background", default="uniform", type=background_arg,
                      help="uniform (default), genome (measured from GENOME), or a,c,g,t")
    scan.add_argument("--format", help="motif file format (default: guessed)")
    scan.add_argument("--threads", type=int, default=1)
    scan.add_argument("--qvalue", action="store_true",
                      help="add a ninth column: the Benjamini-Hochberg q-value of each hit among "
                           "every window tested for its motif")
    scan.add_argument("-o", "--output", default="-", help="output BED file (default: stdout)")
    scan.add_argument("--quiet", action="store_true", help="no progress bar")
    scan.set_defaults(run=run_scan)

    gc = commands.add_parser("gc", help="pooled GC content of BED regions",
                             description="Print the GC fraction of the regions of a BED file, pooled.")
    gc.add_argument("genome", help="FASTA file (plain, bgzip or gzip; a pipe too), or - for standard input")
    gc.add_argument("regions", help="BED file")
    gc.set_defaults(run=run_gc)
    return parser


def background_arg(text: str) -> str | list[float]:
    if text in ("uniform", "genome"):
        return text
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) != 4:
        raise argparse.ArgumentTypeError(
            f"expected uniform, genome or four probabilities a,c,g,t; got {text!r}")
    return values


def run_scan(args: argparse.Namespace, argv: list[str]) -> int:
    from .motifs import read_motifs
    from .scan import iter_hits

    motifs = [motif for path in args.motifs for motif in read_motifs(path, args.format)]
    options = dict(pvalue=args.pvalue, threshold=args.threshold, regions=args.regions,
                   strand=args.strand, model=args.model, background=args.background,
                   threads=args.threads, progress=not args.quiet)
    # Opened before scanning, so an unwritable path fails first; renamed into place
    # only when complete, so an interrupted run leaves no truncated file behind.
    with Output(args.output) as out:
        columns = BED_COLUMNS + (" qvalue" if args.qvalue else "")
        out.write(f"# morvane {__version__}: {shlex.join(['morvane', *argv])}\n")
        out.write(f"# {columns.replace(' ', chr(9))}\n")
        # a table of a slice of the hits at a time: a genome's worth of them never sits in
        # memory as text
        for hits in iter_hits(args.genome, motifs, qvalue=args.qvalue, **options):
            # columns as Python lists, one conversion each rather than one per field of a row;
            # repr() gives the shortest text that reads back to the same double
            rows = zip(*(hits[name].tolist() for name in hits.dtype.names or ()))
            out.writelines(f"{chrom}\t{start}\t{end}\t{motif}\t{score!r}\t{strand}\t{p:.6g}\t{sequence}"
                           + (f"\t{more[0]:.6g}\n" if more else "\n")
                           for chrom, start, end, motif, score, strand, p, sequence, *more in rows)
    return 0


def run_gc(args: argparse.Namespace, argv: list[str]) -> int:
    from .genome import gc_content

    print(f"{gc_content(args.genome, args.regions):.6f}")
    return 0


class Output:
    """A text output: stdout for "-", else a temporary file renamed over `path` on success."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.handle: IO[str] | None = None

    def __enter__(self) -> IO[str]:
        if self.path == "-":
            return sys.stdout
        if os.path.isdir(self.path):
            raise OSError(f"cannot write {self.path}: it is a directory")
        directory = os.path.dirname(os.path.abspath(self.path))
        try:
            fd, self.tmp = tempfile.mkstemp(prefix=".morvane-", suffix=".tmp", dir=directory)
        except OSError as exc:
            raise OSError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(fd, 0o666 & ~umask)          # the mode an ordinary new file would get
        self.handle = os.fdopen(fd, "w")
        return self.handle

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self.handle is None:
            return
        self.handle.close()
        if kind is None:
            os.replace(self.tmp, self.path)
        else:
            os.unlink(self.tmp)


if __name__ == "__main__":
    sys.exit(main())
