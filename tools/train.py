"""Trains merges on text files and reports what came of it.

    tools/train [FILE]... [--workdir DIR]

Reads the files (default: the Python standard library sources of this
interpreter), splits them into chunks, trains with _ovilex.encode_train in
DIR (default: the current directory), which leaves DIR/data/merges_record.json
and DIR/data/vocab_list.json, then encodes the same text with the learned
merges and decodes it back, checking that the round trip gives the text.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys
import sysconfig
import time

TOP = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TOP / "python"))
sys.path.insert(0, os.environ.get("OVILEX_BUILD_DIR", str(TOP / "build")))

import _ovilex  # noqa: E402
from ovilex import split  # noqa: E402


def default_files() -> list[pathlib.Path]:
    stdlib = pathlib.Path(sysconfig.get_path("stdlib"))
    return sorted(p for p in stdlib.rglob("*.py") if "site-packages" not in p.parts)


def read_texts(files: list[pathlib.Path]) -> list[str]:
    texts = []
    for path in files:
        try:
            texts.append(path.read_text(encoding="utf-8"))
        except UnicodeDecodeError:
            texts.append(path.read_bytes().decode("utf-8", errors="replace"))
    return texts


def load_vocab(path: pathlib.Path) -> dict[int, bytes]:
    return {entry["id"]: bytes(entry["bytes"]) for entry in json.loads(path.read_text())}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=pathlib.Path, help="UTF-8 text files")
    parser.add_argument("--workdir", type=pathlib.Path, default=pathlib.Path("."),
                        help="where data/ is written (default: the current directory)")
    args = parser.parse_args(argv)

    files = args.files or default_files()
    missing = [str(f) for f in files if not f.is_file()]
    if missing:
        print(f"train: no such file: {missing[0]}", file=sys.stderr)
        return 2

    start = time.perf_counter()
    texts = read_texts(files)
    chunks = [chunk for text in texts for chunk in split(text)]
    split_seconds = time.perf_counter() - start
    if not chunks:
        print("train: the files hold no text", file=sys.stderr)
        return 2

    workdir = args.workdir.resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    os.chdir(workdir)
    start = time.perf_counter()
    merges = _ovilex.encode_train(chunks)
    train_seconds = time.perf_counter() - start

    start = time.perf_counter()
    ids = _ovilex.encode(chunks, merges)
    encode_seconds = time.perf_counter() - start
    vocab = load_vocab(pathlib.Path("data/vocab_list.json"))
    text = "".join(chunks)
    round_trip = _ovilex.decode_string(ids, vocab) == text
    nbytes = len(text.encode("utf-8"))

    rows = [
        ("files", f"{len(files)}"),
        ("text", f"{nbytes / 1e6:.1f} MB"),
        ("chunks", f"{len(chunks):,}"),
        ("distinct chunks", f"{len(set(chunks)):,}"),
        ("merges", f"{len(merges)}" + (f" (ids 256 to {merges[-1][1]})" if merges else "")),
        ("reading and splitting", f"{split_seconds:.2f} s"),
        ("training", f"{train_seconds:.2f} s"),
        ("encoding", f"{encode_seconds:.2f} s ({nbytes / 1e6 / encode_seconds:.1f} MB/s)"),
        ("tokens", f"{len(ids):,} ({nbytes / max(len(ids), 1):.2f} bytes per token)"),
        ("decode round trip", "ok" if round_trip else "MISMATCH"),
        ("records", f"{workdir / 'data'}"),
    ]
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value}")
    return 0 if round_trip else 1


if __name__ == "__main__":
    sys.exit(main())
