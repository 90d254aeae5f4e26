"""Pages of the tests' context-dumping templates ("name=value" lines, one "CHUNKi=..." line
per data chunk) read back into a dict; the chunks under "chunks", in order."""

from __future__ import annotations


def parse_page(text):
    ctx, chunks = {}, []
    for line in text.split("\n"):
        if not line:
            continue
        name, _, value = line.partition("=")
        if name.startswith("CHUNK"):
            assert int(name[5:]) == len(chunks)
            chunks.append(value)
        else:
            ctx[name] = value
    ctx["chunks"] = chunks
    return ctx
