"""``halvex render``: a scoreboard JSON file to the HTML dashboard page."""

from __future__ import annotations

import argparse
import contextlib
import sys
from pathlib import Path

from halvex._output import check_output_path
from halvex._progress import Progress
from halvex.commands import _arguments as arg
from halvex.commands._support import EXIT_BAD_INPUT, size_limit, whole_number, with_renderer, writes_to_stdout


def register(subparsers) -> None:
    p = arg.command(subparsers, "render", run, help="render a scoreboard JSON file to the dashboard page",
                    description="Render a scoreboard document (JSON file) to a self-contained HTML "
                                "dashboard. Without -o the page goes to ../html/qvr_dashboard.html "
                                "beside the document's folder.")
    p.add_argument("document", type=Path, metavar="DOC.json", help="scoreboard document")
    arg.output(p, "output HTML file (a pipe or /dev/stdout is written directly)")
    p.add_argument("--chunk-size", type=whole_number(1), help="row arrays per data chunk (default 10000)")
    p.add_argument("--top-n", type=whole_number(0), help="rows shown when the page opens (default 100)")
    p.add_argument("--ref-csv", type=Path,
                   help="region/branch reference file (default: sube_bolge_ref.csv beside DOC)")
    p.add_argument("--max-size-mb", type=size_limit, help="warn when the page is larger than this")
    p.add_argument("--external-link", help="URL prefix opened when a row is double-clicked")
    p.add_argument("--page-mode", help='page mode; "admin" shows every diagnostic finding')
    p.add_argument("--v300", action="store_true",
                   help="compressed-chunk page (gzip+base64 chunks, decoded in the browser)")


@with_renderer("render")
def run(args: argparse.Namespace, vitrum) -> int:
    kwargs = {}
    if args.output is not None:
        kwargs["output_html"] = check_output_path(args.output)
    if args.chunk_size is not None:
        kwargs["chunk_size"] = args.chunk_size
    if args.top_n is not None:
        kwargs["top_n"] = args.top_n
    if args.max_size_mb is not None:
        kwargs["max_size_mb"] = args.max_size_mb

    if args.v300:
        unused = [flag for flag, value in (("--ref-csv", args.ref_csv),
                                           ("--external-link", args.external_link),
                                           ("--page-mode", args.page_mode)) if value is not None]
        if unused:
            raise ValueError(f"{', '.join(unused)} not used by the compressed-chunk page (--v300)")
        render, document = vitrum.render_html_v300, str(args.document)
    else:
        if args.ref_csv is not None:
            kwargs["ref_csv_path"] = str(args.ref_csv)
        if args.external_link is not None:
            kwargs["external_link"] = args.external_link
        if args.page_mode is not None:
            kwargs["extra_data"] = {"page_mode": args.page_mode}
        render, document = vitrum.render_html, str(args.document)
    # A page streamed to standard output must not get the progress lines mixed into it.
    if args.output is not None and writes_to_stdout(args.output):
        sys.stdout.flush()
        with contextlib.redirect_stdout(sys.stderr), Progress("render", "rendering"):
            result = render(document, **kwargs)
    else:
        with Progress("render", "rendering"):
            result = render(document, **kwargs)
    if result.get("chunks"):
        return 0
    # No periods in the document: the renderer warned and wrote nothing.
    print(f"halvex render: no periods in {args.document} (meta.donemler): nothing written",
          file=sys.stderr)
    return EXIT_BAD_INPUT
