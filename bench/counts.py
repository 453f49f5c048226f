"""Counting tokens beside the array path: count_batch and encode_batch_array
on the bench corpus cut into texts as the peers rows cut it, 1 thread and 2,
and count_in_files on the corpus file itself.

    PYTHONPATH=python:build tools/env python3.14 bench/counts.py WORKDIR [FILE] [--repeat N]

WORKDIR holds a trained tokenizer (ovilex train FILE --workdir WORKDIR); FILE
is bench/corpus/all.txt by default. The calls take turns, --repeat rounds, so
that both see the same swings of load; each figure is MB/s of UTF-8 text
(10^6 bytes) by the best round's wall time, and by its processor time (all
threads) beside it, which other work on the machine disturbs less. The exit
status is 1 when a count differs from the array's length (count_in_files:
from that of the file's text whole).
"""

from __future__ import annotations

import argparse
import gc
import pathlib
import sys
import time
from collections.abc import Callable
from typing import Any

from run import MB, texts_of

from ovilex import Tokenizer

HERE = pathlib.Path(__file__).resolve().parent


def timed(fn: Callable[[], Any]) -> tuple[float, float, Any]:
    """(wall seconds, processor seconds, result) of one call, the collector off."""
    gc.collect()
    gc.disable()
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    gc.enable()
    return wall, cpu, result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("workdir", type=pathlib.Path)
    parser.add_argument("file", type=pathlib.Path, nargs="?", default=HERE / "corpus" / "all.txt")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)

    tok = Tokenizer.load(args.workdir)
    data = args.file.read_bytes()
    texts = texts_of(data)
    mb = len(data) / MB
    print(f"{args.file}: {mb:.1f} MB in {len(texts):,} texts; {tok.vocab_size:,} ids; "
          f"best of {args.repeat} rounds, wall (processor)")
    whole = len(tok.encode_array(data.decode("utf-8")))  # the cache warmed alike for all
    ids = sum(tok.count_batch(texts))
    expected = {"encode_batch_array": ids, "count_batch": ids, "count_in_files": [whole]}
    same = True
    for threads in (1, 2):
        calls = {
            "encode_batch_array": lambda: len(tok.encode_batch_array(texts, threads=threads)[0]),
            "count_batch": lambda: tok.count_batch(texts, threads=threads),
            "count_in_files": lambda: tok.count_in_files([args.file], threads=threads),
        }
        best: dict[str, tuple[float, float]] = {}
        for _ in range(args.repeat):
            for name, fn in calls.items():
                wall, cpu, result = timed(fn)
                same = same and (sum(result) if name == "count_batch" else result) == expected[name]
                w, c = best.get(name, (wall, cpu))
                best[name] = (min(w, wall), min(c, cpu))
        row = ", ".join(f"{name} {mb / w:5.1f} ({mb / c:5.1f}) MB/s" for name, (w, c) in best.items())
        print(f"threads {threads}: {row}")
    print("counts equal the arrays' lengths" if same else "COUNTS DIFFER")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
