"""Differential fuzzer: a document file and the same document as a dict give the same page.

Draws random document texts (a few with thousands of rows; numbers in every JSON spelling, NaN and Infinity tokens, escapes
and lone surrogates, duplicate member names, periods named twice, findings of every layer,
random white space) and renders each from its file and from ``json.loads`` of the same text.
Both must give the same page bytes and printed lines, or both fail with the same exception
type. Now and then a document has rows of more than 2 MiB, whose check is split over two
threads at a guessed row start; their text is often broken at one byte (or holds strings
that look like row starts), and its file must give the same page, or the same error message,
on one thread as on two. Each disagreement is kept as OUT/dict-vs-file-SEED-N.json.

    fuzz_dict_vs_file.py --seconds 300 --out tests/fuzz/crashes
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import random
import tempfile
import time
from pathlib import Path

from halvex.pipeline import vitrum

VALUES = ['0', '-0', '-0.0', '1', '1.0', '1E2', '1e-7', '2.5e+6', '12345678901234567890',
          '-99999999999999999999999', '1e400', '-1e400', 'NaN', 'Infinity', '-Infinity', 'true', 'false',
          'null', '""', '"YI"', '" 700 "', '"700"', '"1e3"', '"abc"', '"İnşaat Işık"', '"\\u0130\\u015f"',
          '"a\\"b\\\\c\\/d"', '"\\ud800"', '"\\udc00\\ud800"', '"\\ud83d\\ude00"', '"😀"', '"\\u0000x"',
          '"</script>"', '[]', '{}', '[1,2]', '{"a":1}', '825', '824.999', '500', '499.5', '1650000', '999999.9',
          '1000000', '-1650000', '0.05', '"KOBI"', '"MIKRO"', '"ESKK"', '"KUR-TIC"', '1.7976931348623157e308',
          '5e-324', '123456789.123456789', '"2024-01"', '3', '"3"', '3.0']
ROW_KEYS = ["muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu", "bolge_adi", "sube_adi",
            "qvr2024-01", "qvr2024-02", "r2024-02", "rd2024-02", "df2024-02", "_hizli_yukselen",
            "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan", "_qvr_neden",
            "_ml_yi_prob", "other"]


def space(r: random.Random) -> str:
    return r.choice(["", "", " ", "\n", "\t ", "\r\n"])


def obj(r: random.Random, members: list[tuple[str, str]]) -> str:
    return "{" + ",".join(space(r) + json.dumps(k, ensure_ascii=r.random() < 0.3) + space(r) + ":" + space(r) + v
                          + space(r) for k, v in members) + "}"


# Values a big document's rows take, so that most of them render: texts where texts belong.
TEXT_KEYS = {"unvan", "segment", "bolge_kodu", "sube_kodu", "bolge_adi", "sube_adi", "_qvr_neden", "other"}
TAME_TEXTS = ['""', '"YI"', '"abc"', '"İnşaat Işık"', '"\\u0130\\u015f"', '"a\\"b\\\\c\\/d"', '"KOBI"', '"MIKRO"',
              '"😀"', '"</script>"', '"2024-01"', '"3"']
TAME_NUMBERS = ['0', '-0.0', '1', '1.0', '1E2', '1e-7', '2.5e+6', '825', '824.999', '500', '1650000', '999999.9',
                '-1650000', '0.05', 'null', '3']


def row(r: random.Random, tame: bool = False) -> str:
    keys = r.sample(ROW_KEYS, r.randint(1, len(ROW_KEYS)))
    if "muta" not in keys and r.random() < 0.9:
        keys.append("muta")
    def value(k: str) -> str:
        if tame:
            return str(r.randint(0, 10**6)) if k == "muta" else r.choice(TAME_TEXTS if k in TEXT_KEYS else TAME_NUMBERS)
        return str(r.randint(0, 50)) if k == "muta" and r.random() < 0.7 else r.choice(VALUES)

    members = []
    for k in keys:
        members.append((k, value(k)))
        if r.random() < 0.05:
            members.append((k, value(k)))  # the same name again: the last one counts
    r.shuffle(members)
    return obj(r, members)


def document(r: random.Random, big: bool = False) -> str:
    meta = [("donemler", '["2024-01","2024-02"]'), ("risk_donemler", '["2024-02"]')]
    if r.random() < 0.2 and not big:
        meta.append(("title", r.choice(VALUES)))
    if r.random() < 0.1:
        meta.append(("donemler", '["2024-02","2024-01","2024-02"]'))
    # Now and then enough rows to be read on one thread and encoded on another, or enough
    # text for the rows to be checked on two threads.
    n = r.randint(4100, 6000) if r.random() < 0.02 else r.randint(0, 30)
    if big:
        n = r.randint(16000, 24000)
    rows = "[" + ",".join(space(r) + row(r, tame=big) for _ in range(n)) + space(r) + "]"
    top = [("meta", obj(r, meta)), ("rows", rows)]
    if r.random() < 0.3 and not big:
        index = []
        for _ in range(r.randint(0, 4)):
            finding = obj(r, [("kriter", r.choice(VALUES)), ("katman", r.choice(['"SQL"', '"KIK"', '1'])),
                              ("aciklama", r.choice(VALUES))])
            index.append((str(r.randint(0, 50)), obj(r, [("2024-02", "[" + finding + "]")])))
        top.append(("diag_index", obj(r, index)))
    r.shuffle(top)
    return obj(r, top)


def outcome(source, out: Path, extra, message: bool = False):
    try:
        with contextlib.redirect_stdout(io.StringIO()) as said:
            vitrum.render_html(source, str(out), extra_data=extra)
        return "page", out.read_bytes(), said.getvalue().replace(str(out), "OUT")
    except Exception as e:  # any exception is an outcome; they must agree
        return ("error", type(e).__name__, str(e)) if message else ("error", type(e).__name__)


# Texts put into a big document's rows: strings that look like row starts or the array's end.
DECOYS = ['"}, {"', '"}, {}]"', '"}, {\\"muta\\": 1}"', '"} , {\\n"', '"}]}"']


def big_document(r: random.Random) -> str:
    """A document with more than 2 MiB of rows, often broken at one byte."""
    text = document(r, big=True)
    for _ in range(r.randint(0, 3)):
        at = r.randrange(len(text))
        at = text.find('"_qvr_neden":', at)
        if at > 0:
            text = text[:at] + '"other":' + r.choice(DECOYS) + "," + text[at:]
    if r.random() < 0.6:
        # mostly near the middle, where the second thread starts
        at = int(len(text) * r.uniform(0.45, 0.6)) if r.random() < 0.7 else r.randrange(len(text))
        kind = r.random()
        if kind < 0.4:
            text = text[:at] + text[at + 1:]
        elif kind < 0.8:
            text = text[:at] + r.choice('{}[],:"x0 \\') + text[at:]
        else:
            text = text[:at] + r.choice('{}[],:"x0\\') + text[at + 1:]
    return text


def said(result, detail: int) -> str:
    """An outcome in a line: "page", or "error" and the exception's name or message."""
    return f"{result[0]} {result[detail]}" if result[0] == "error" else result[0]


def threads_outcome(path: Path, out: Path, threads: str):
    os.environ["HALVEX_THREADS"] = threads
    try:
        return outcome(str(path), out, None, message=True)
    finally:
        del os.environ["HALVEX_THREADS"]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--out", type=Path, default=Path("tests/fuzz/crashes"))
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    r = random.Random(seed)
    cases = disagreements = 0
    end = time.monotonic() + args.seconds

    def keep(text: str, what: str) -> None:
        nonlocal disagreements
        args.out.mkdir(parents=True, exist_ok=True)
        kept = args.out / f"dict-vs-file-{seed}-{disagreements}.json"
        kept.write_text(text, "utf-8", errors="surrogatepass")
        print(f"disagreement: {what}: {kept}")
        disagreements += 1

    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        doc_path = work / "doc.json"
        while time.monotonic() < end:
            cases += 1
            if r.random() < 0.03:
                text = big_document(r)
                doc_path.write_text(text, "utf-8", errors="surrogatepass")
                one = threads_outcome(doc_path, work / "one.html", "1")
                two = threads_outcome(doc_path, work / "two.html", "2")
                if one != two:
                    keep(text, f"one thread {said(one, 2)}, two threads {said(two, 2)}")
                continue
            text = document(r)
            doc_path.write_text(text, "utf-8", errors="surrogatepass")
            extra = {"page_mode": "admin"} if r.random() < 0.2 else None
            from_file = outcome(str(doc_path), work / "file.html", extra)
            try:
                loaded = json.loads(text)
            except ValueError:
                loaded = None
            from_dict = outcome(loaded, work / "dict.html", extra) if loaded is not None else ("error", "-")
            if from_file != from_dict and not (loaded is None and from_file[0] == "error"):
                keep(text, f"file {said(from_file, 1)}, dict {said(from_dict, 1)}")
    print(f"seed {seed}: {cases} documents, {disagreements} disagreements")
    return 1 if disagreements else 0


if __name__ == "__main__":
    raise SystemExit(main())
