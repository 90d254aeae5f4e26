"""``halvex trending``: the trending lists section of the dashboard as HTML."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from halvex._output import check_output_path, refuse_input
from halvex.commands import _arguments as arg
from halvex.commands._support import (EXIT_BAD_INPUT, trending_page, with_renderer, write_text_atomic,
                                     writes_to_stdout)


def register(subparsers) -> None:
    p = arg.command(subparsers, "trending", run, help="render a trending lists JSON file to an HTML section",
                    description="Render the four trending lists (fastest_rising, regime_change, "
                                "persistent_high, low_but_rising) as the dashboard's trending section.")
    p.add_argument("lists", type=Path, metavar="LISTS.json", help="trending lists document")
    arg.output(p, "output HTML file (default: print the section to standard output)")
    p.add_argument("--fragment", action="store_true",
                   help="with -o, write the bare section instead of a page around it")


@with_renderer("trending")
def run(args: argparse.Namespace, vitrum) -> int:
    if args.output is not None:
        check_output_path(args.output)
        refuse_input(args.output, {"the trending lists document": args.lists})
    with open(args.lists, encoding="utf-8") as fh:
        lists = json.load(fh)
    section = vitrum._build_trending_html(lists)
    if args.output is None:
        sys.stdout.write(section + "\n")
        return 0
    if not section:
        print("    [WARN] Trending listeleri boş; bölüm yazılmadı")
        print(f"halvex trending: the lists in {args.lists} are empty: nothing written", file=sys.stderr)
        return EXIT_BAD_INPUT
    to_stdout = writes_to_stdout(args.output)
    write_text_atomic(args.output, section if args.fragment else trending_page(section))
    print(f"    Trending: {args.output}", file=sys.stderr if to_stdout else sys.stdout)
    return 0
