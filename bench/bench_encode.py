"""Encode benchmark on the real-text corpus.

    tools/env --with bench python3.14 bench/bench_encode.py [--json] [...]

Builds the module and the sequential helper into build-bench (cmake, ninja),
gathers the corpus (bench/corpus.py), splits it into chunks, gets the 7744-merge
list (bench/train_merges.py), then measures:

- _ovilex.encode over the whole corpus, best of --repeat runs, free to run
  on any core and pinned to one core (it is single-threaded either way);
- the straightforward sequential loop (every merge over every word, in C++:
  bench_sequential_encode) on a subset, against _ovilex.encode on the same
  subset, after checking that both give the identical ids;
- where the time of one whole-corpus encode call goes: chunk conversion, the
  core encode in C++ without Python, and building the result list.
"""

from __future__ import annotations

import argparse
import array
import json
import os
import pathlib
import subprocess
import sys
from collections.abc import Callable
from typing import Any

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import train_merges  # noqa: E402
from common import (  # noqa: E402
    MB, OUT, ROOT, best_of, build, environment, environment_line, load_chunks, log, subset_of,
    utf8_size, write_chunks, write_merges,
)

HELPER = "bench_sequential_encode"


# --------------------------------------------------------------------------
# Helper files


def ids_bytes(ids: list[int]) -> bytes:
    a = array.array("H", ids)
    if sys.byteorder != "little":
        a.byteswap()
    return a.tobytes()


def run_helper(exe: pathlib.Path, chunks: pathlib.Path, merges: pathlib.Path,
               ids_out: pathlib.Path, core: bool, repeat: int = 1) -> dict[str, float | int | str]:
    cmd = [str(exe)] + (["--core", "--repeat", str(repeat)] if core else [])
    cmd += [str(chunks), str(merges), str(ids_out)]
    line = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.strip()
    fields = dict(kv.split("=", 1) for kv in line.split())
    return {
        k: (v if k == "checksum" else float(v) if "seconds" in k else int(v))
        for k, v in fields.items()
    }


# --------------------------------------------------------------------------
# Timing


def row(name: str, chunks: int, nbytes: int, seconds: float, ids: int) -> dict[str, Any]:
    return {
        "case": name,
        "chunks": chunks,
        "mb": nbytes / MB,
        "seconds": seconds,
        "mb_per_s": nbytes / MB / seconds,
        "chunks_per_s": chunks / seconds,
        "ids": ids,
    }


def pinned(fn: Callable[[], Any]) -> Callable[[], Any]:
    """fn run with the process pinned to the first allowed core."""
    def call() -> Any:
        allowed = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(allowed)})
        try:
            return fn()
        finally:
            os.sched_setaffinity(0, allowed)
    return call


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    parser.add_argument("--repeat", type=int, default=3, help="runs per fast-path timing (best of)")
    parser.add_argument("--subset", type=int, default=200_000,
                        help="chunks for the sequential comparison (spread over the sources)")
    parser.add_argument("--build-dir", default=str(ROOT / "build-bench"))
    parser.add_argument("--no-build", action="store_true", help="use build-dir as it is")
    parser.add_argument("--rebuild-corpus", action="store_true")
    args = parser.parse_args(argv)

    build_dir = pathlib.Path(args.build_dir)
    if not args.no_build:
        log(f"bench: building _ovilex and {HELPER} in {build_dir}")
        build(build_dir, [HELPER])
    sys.path.insert(0, str(build_dir))
    import _ovilex

    env = environment() | {"module": _ovilex.build_info()}
    if not args.json:
        print(environment_line(env))
        print(env["module"])

    texts, per_source, split_seconds = load_chunks(args.rebuild_corpus)
    chunks = [c for cs in per_source.values() for c in cs]
    nbytes = sum(len(t.encode("utf-8")) for t in texts.values())
    log(f"bench: corpus {nbytes / MB:.1f} MB, {len(chunks)} chunks "
        f"({len(set(chunks))} distinct), split in {split_seconds:.1f} s")

    merges = train_merges.merge_list(texts, log=log)
    log(f"bench: {len(merges)} merges")

    rows = []
    results: dict[str, Any] = {"env": env, "merges": len(merges)}

    # The fast path over the whole corpus.
    log(f"bench: _ovilex.encode on the whole corpus, best of {args.repeat}")
    seconds, ids = best_of(args.repeat, lambda: _ovilex.encode(chunks, merges))
    total_ids = len(ids)
    rows.append(row("_ovilex.encode, whole corpus", len(chunks), nbytes, seconds, total_ids))
    full_seconds = seconds
    OUT.mkdir(exist_ok=True)
    exe = build_dir / HELPER
    all_chunks_file = OUT / "all.chunks"
    merges_file = OUT / "merges.bin"
    write_chunks(all_chunks_file, chunks)
    write_merges(merges_file, merges)
    full_ids = ids_bytes(ids)
    del ids

    if hasattr(os, "sched_setaffinity"):
        log("bench: the same, pinned to one core")
        seconds, ids = best_of(args.repeat, pinned(lambda: _ovilex.encode(chunks, merges)))
        rows.append(row("_ovilex.encode, whole corpus, 1 core", len(chunks), nbytes, seconds, len(ids)))
        del ids

    # Where the time of one call goes.
    log("bench: stages")
    conv_seconds, _ = best_of(args.repeat, lambda: _convert_only(_ovilex, chunks))
    core = run_helper(exe, all_chunks_file, merges_file, OUT / "all.core.ids", core=True,
                      repeat=args.repeat)
    core_same = (OUT / "all.core.ids").read_bytes() == full_ids
    ids_array = array.array("H", full_ids)
    list_seconds, _ = best_of(args.repeat, ids_array.tolist)
    del ids_array, full_ids
    stages = {
        "split_seconds": split_seconds,
        "convert_seconds": conv_seconds,
        "core_prepare_seconds": core["prepare_seconds"],
        "core_encode_seconds": core["seconds"],
        "result_list_seconds": list_seconds,
        "call_seconds": full_seconds,
        "core_identical": core_same,
    }

    # The sequential loop against the fast path, on a subset.
    sub = subset_of(per_source, args.subset)
    sub_bytes = utf8_size(sub)
    sub_chunks_file = OUT / "subset.chunks"
    write_chunks(sub_chunks_file, sub)
    log(f"bench: sequential loop on {len(sub)} chunks ({sub_bytes / MB:.2f} MB)")
    seq = run_helper(exe, sub_chunks_file, merges_file, OUT / "subset.seq.ids", core=False)
    seconds, ids = best_of(args.repeat, lambda: _ovilex.encode(sub, merges))
    identical = (OUT / "subset.seq.ids").read_bytes() == ids_bytes(ids)
    rows.append(row("sequential loop (C++), subset", len(sub), sub_bytes, seq["seconds"], seq["ids"]))
    rows.append(row("_ovilex.encode, subset", len(sub), sub_bytes, seconds, len(ids)))
    ratio = seq["seconds"] / seconds

    results.update({
        "corpus_mb": nbytes / MB,
        "chunks": len(chunks),
        "distinct_chunks": len(set(chunks)),
        "rows": rows,
        "subset_speedup": ratio,
        "subset_identical": identical,
        "stages": stages,
    })

    if args.json:
        print(json.dumps(results, indent=1))
    else:
        print_table(results)
    if not identical or not core_same:
        log("bench: MISMATCH between the fast path and the reference")
        return 1
    return 0


def _convert_only(module: Any, chunks: list[str]) -> None:
    """Converts every chunk, then fails on the first merge: the call converts
    s completely before it looks at merges."""
    try:
        module.encode(chunks, [None])
    except TypeError:
        return
    raise AssertionError("encode accepted a merge list of [None]")


def print_table(r: dict[str, Any]) -> None:
    print(f"corpus: {r['corpus_mb']:.1f} MB UTF-8, {r['chunks']:,} chunks "
          f"({r['distinct_chunks']:,} distinct); {r['merges']} merges by encode_train")
    print()
    head = f"| {'case':<38} | {'chunks':>10} | {'MB':>6} | {'time s':>8} | {'MB/s':>8} | {'chunks/s':>11} | {'ids':>10} |"
    print(head)
    print("|" + "|".join("-" * (len(c)) for c in head.split("|")[1:-1]) + "|")
    for x in r["rows"]:
        print(f"| {x['case']:<38} | {x['chunks']:>10,} | {x['mb']:>6.2f} | {x['seconds']:>8.3f} | "
              f"{x['mb_per_s']:>8.2f} | {x['chunks_per_s']:>11,.0f} | {x['ids']:>10,} |")
    print()
    print(f"sequential loop / _ovilex.encode on the subset: {r['subset_speedup']:.0f}x; "
          f"ids identical: {'yes' if r['subset_identical'] else 'NO'}")
    s = r["stages"]
    parts = s["convert_seconds"] + s["core_encode_seconds"] + s["result_list_seconds"]
    print()
    print("stages of one whole-corpus call (seconds, each measured on its own, best of --repeat):")
    print(f"  convert chunks (encode(chunks, [None]))        {s['convert_seconds']:8.3f}")
    print(f"    of it, copying into the ChunkList (C++)     {s['core_prepare_seconds']:8.3f}")
    print(f"  core encode (C++, no Python)                   {s['core_encode_seconds']:8.3f}"
          f"   ids identical to the module's: {'yes' if s['core_identical'] else 'NO'}")
    print(f"  result list (array.tolist of as many ids)      {s['result_list_seconds']:8.3f}")
    print(f"  sum of the three                               {parts:8.3f}")
    print(f"  whole call                                     {s['call_seconds']:8.3f}")
    print(f"  (not in the call: split with re                {s['split_seconds']:8.3f})")


if __name__ == "__main__":
    sys.exit(main())
