"""``tarnwick report PATH… -o FILE``: the report an examiner attaches to a case."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

EXIT_OK, EXIT_LEFT_OUT, EXIT_ERROR = 0, 1, 2

EPILOG = """\
examples:
  tarnwick report "Local Storage/leveldb" -o report.html
  tarnwick report /evidence/profile --hash md5,sha1 -o report.json --format json
  tarnwick dump store -o records.parquet --format parquet
  tarnwick report store --output-of records.parquet -o report.md --format md

exit status:
  0    every store was read (a damaged file is still reported, with its losses)
  1    with --strict: some file, or some bytes, could not be read
  2    the command line is wrong, or a path or the output cannot be used
  130  interrupted (Ctrl-C); 143 terminated
"""


def _digests(text: str) -> tuple[str, ...]:
    from .._provenance import digest_names

    try:
        return digest_names(name.strip().lower() for name in text.split(",") if name.strip())
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_subcommand(subparsers: Any) -> None:
    from . import FORMATS

    p = subparsers.add_parser(
        "report",
        help="write the read report of stores: hashes, times, records by state, damage map",
        description="For every LevelDB store under each PATH (a store, a browser profile or a whole "
        "evidence tree): each file's size, modification and change times (UTC), SHA-256 and any "
        "other digest asked for (one read per file, no access time changed, no link followed), its "
        "status, its records by state, and the byte ranges from which nothing was decoded with the "
        "reasons; the blob files of browser stores are hashed too. The report names the tool's and "
        "its libraries' versions, the command line, the start and end times, and the digests of the "
        "outputs named with --output-of. HTML is one self-contained page (no scripts, nothing loaded "
        "from elsewhere) with a bar of each file's bytes and a chart of each store's records.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", metavar="PATH", nargs="+", help="a store, a profile or a folder tree")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="the report file; never inside PATH")
    p.add_argument("--format", choices=FORMATS, default="html", help="HTML page (default), JSON or Markdown")
    p.add_argument("--hash", metavar="NAMES", type=_digests, default=("sha256",),
                   help="digests besides SHA-256, comma-separated: md5, sha1, sha512")
    p.add_argument("--output-of", metavar="FILE", action="append", default=[],
                   help="an output made from these stores, to be hashed into the report (repeatable)")
    p.add_argument("--force", action="store_true", help="replace FILE if it exists")
    p.add_argument("--strict", action="store_true", help="exit with status 1 when anything could not be read")
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .._cli_errors import CliError
    from .._safe_output import check_outside, open_output
    from . import collect, render

    for path in args.paths:
        if not os.path.isdir(path):
            raise CliError(f"not a directory: {path!r}")
    for path in args.output_of:
        if not os.path.isfile(path):
            raise CliError(f"--output-of: no such file: {path!r}")
    check_outside(args.output, args.paths)
    command_line = getattr(args, "command_line", None) or ["tarnwick", *sys.argv[1:]]
    report = collect(args.paths, args.hash, args.output_of, command_line)
    text = render(report, args.format).encode("utf-8", "backslashreplace")
    with open_output(args.output, stores=args.paths, force=args.force) as out:
        out.write(text)
    for problem in report.problems:
        print(f"tarnwick report: {problem}", file=sys.stderr)
    if not report.complete:
        print("tarnwick report: not everything could be read; the report says what and why", file=sys.stderr)
        if args.strict:
            return EXIT_LEFT_OUT
    return EXIT_OK
