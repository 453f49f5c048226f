"""Training benchmark on the real-text corpus.

    tools/env --with bench python3.14 bench/bench_train.py [--json] [...]

Builds the module and the helper bench_train_stages into build-bench (cmake,
ninja), gathers the corpus (bench/corpus.py) and splits it into chunks, then
measures:

- _ovilex.encode_train on the whole corpus as a Python list of chunks, from
  the list to the returned merge list, best of --repeat runs, each in a fresh
  process and a fresh temporary working directory, with the process's peak
  resident size over its size once the chunks are loaded; once per pool size
  of --threads (OVILEX_NUM_THREADS); and, the same way, the conversion of the
  chunks with word counting alone (a call whose last item is not a str);
- the stages of training in C++ without Python (bench_train_stages): word
  counting, pair counting, the merge loop and the record files, each with
  its time and peak resident size;
- the straightforward merge loop (every pair recounted at every merge, in
  C++) on a subset, against _ovilex.encode_train on the same subset, after
  checking that both make the identical merges.
"""

from __future__ import annotations

import argparse
import json
import marshal
import os
import pathlib
import subprocess
import sys
import tempfile
import time
from typing import Any

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import (  # noqa: E402
    MB, OUT, ROOT, Merge, best_of, build, environment, environment_line, load_chunks, log,
    read_merges, reset_peak, status_kb, subset_of, utf8_size, write_chunks,
)

HELPER = "bench_train_stages"
STAGES = (
    ("words", "word counting (WordCounter, take_words)"),
    ("pairs", "pair counting (count_pairs, pool)"),
    ("merges", "merge loop (learn_merges)"),
    ("files", "record files and vocabulary"),
    ("total", "total of the four"),
)


# --------------------------------------------------------------------------
# Merge lists


def merges_checksum(merges: list[Merge]) -> str:
    """FNV-1a (64-bit) over left, right and new of every merge as
    little-endian u16, as bench_train_stages prints it."""
    h = 14695981039346656037
    for (left, right), new in merges:
        for x in (left, right, new):
            h = ((h ^ (x & 0xFF)) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
            h = ((h ^ (x >> 8)) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def as_merges(result: list) -> list[Merge]:
    return [((int(l), int(r)), int(n)) for (l, r), n in result]


# --------------------------------------------------------------------------
# One call in a fresh process


def child(build_dir: str, chunks_path: str, mode: str) -> int:
    """Loads the chunks, then makes one call in the current directory and
    prints its time and memory as JSON. mode: "train", or "convert" for a
    call whose last item is None: every chunk is converted and counted, then
    the call fails with TypeError before training."""
    sys.path.insert(0, build_dir)
    import gc

    import _ovilex

    chunks = marshal.loads(pathlib.Path(chunks_path).read_bytes())
    if mode == "convert":
        chunks.append(None)
    gc.collect()
    # The peak over the size with the chunks loaded, whatever loading took.
    # VmHWM rather than ru_maxrss: after an exec, ru_maxrss never drops below
    # the peak of the process that started this one.
    reset = reset_peak()
    base_kb = status_kb() if reset else status_kb("VmHWM")
    result = None
    start = time.perf_counter()
    try:
        result = _ovilex.encode_train(chunks)
    except TypeError:
        if mode != "convert":
            raise
    seconds = time.perf_counter() - start
    peak_kb = status_kb("VmHWM")
    out: dict[str, Any] = {
        "seconds": seconds,
        "base_mb": base_kb * 1024 / MB,
        "peak_increase_mb": (peak_kb - base_kb) * 1024 / MB,
        "peak_reset": reset,
    }
    if result is not None:
        merges = as_merges(result)
        out["merges"] = len(merges)
        out["checksum"] = merges_checksum(merges)
    print(json.dumps(out))
    return 0


def run_child(build_dir: pathlib.Path, chunks_path: pathlib.Path, mode: str,
              threads: str | None) -> dict[str, Any]:
    env = dict(os.environ)
    if threads is None:
        env.pop("OVILEX_NUM_THREADS", None)
    else:
        env["OVILEX_NUM_THREADS"] = threads
    with tempfile.TemporaryDirectory(prefix="ovilex-bench-") as tmp:
        line = subprocess.run(
            [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", mode,
             "--build-dir", str(build_dir), str(chunks_path)],
            cwd=tmp, env=env, check=True, capture_output=True, text=True,
        ).stdout
    return json.loads(line)


def call_row(name: str, runs: list[dict[str, Any]], chunks: int, nbytes: int,
             load: float) -> dict[str, Any]:
    """The best time of the runs; the greatest peak increase of any of them."""
    best = min(runs, key=lambda r: r["seconds"])
    peak = max(r["peak_increase_mb"] for r in runs)
    return {
        "case": name,
        "chunks": chunks,
        "mb": nbytes / MB,
        "seconds": best["seconds"],
        "seconds_all": [r["seconds"] for r in runs],
        "peak_mb": best["base_mb"] + peak,
        "peak_increase_mb": peak,
        "merges": best.get("merges"),
        "checksum": best.get("checksum"),
        "load": load,
    }


# --------------------------------------------------------------------------
# The C++ helper


def parse_lines(text: str) -> dict[str, dict[str, str]]:
    """Lines "label k=v ..." or "stage=name k=v ..." keyed by label or name."""
    out: dict[str, dict[str, str]] = {}
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        head = words[0]
        fields = dict(w.split("=", 1) for w in words if "=" in w)
        key = fields.pop("stage") if head.startswith("stage=") else head
        out[key] = fields
    return out


def run_stages(exe: pathlib.Path, chunks_path: pathlib.Path, repeat: int) -> dict[str, Any]:
    """Runs the helper |repeat| times: each stage's best time and greatest peak."""
    load = os.getloadavg()[0]
    runs = []
    for _ in range(repeat):
        done = subprocess.run([str(exe), str(chunks_path)], capture_output=True, text=True)
        if done.returncode not in (0, 1):
            raise SystemExit(f"bench: {exe.name} failed: {done.stderr.strip()}")
        runs.append(parse_lines(done.stdout))
    stages = {}
    for name, _ in STAGES:
        stages[name] = {
            "seconds": min(float(r[name]["seconds"]) for r in runs),
            "peak_mb": max(float(r[name]["peak_mb"]) for r in runs),
        }
    last = runs[-1]
    counts = {k: (v if k == "checksum" else int(v)) for k, v in last["counts"].items()}
    return {
        "stages": stages,
        "baseline_mb": float(last["baseline"]["rss_mb"]),
        "file_mb": float(last["baseline"]["file_mb"]),
        "peak_reset": last["baseline"]["hwm_reset"] == "yes",
        "counts": counts,
        "train_seconds": min(float(r["train"]["seconds"]) for r in runs),
        "train_merge_loop_seconds": min(float(r["train"]["merge_loop_seconds"]) for r in runs),
        "train_identical": all(r["train"]["identical"] == "yes" for r in runs),
        "load": load,
    }


def run_sequential(exe: pathlib.Path, chunks_path: pathlib.Path,
                   merges_path: pathlib.Path) -> dict[str, Any]:
    load = os.getloadavg()[0]
    done = subprocess.run(
        [str(exe), "--sequential", "--merges-out", str(merges_path), str(chunks_path)],
        capture_output=True, text=True,
    )
    if done.returncode not in (0, 1):
        raise SystemExit(f"bench: {exe.name} --sequential failed: {done.stderr.strip()}")
    lines = parse_lines(done.stdout)
    return {
        "seconds": float(lines["sequential"]["seconds"]),
        "distinct_words": int(lines["sequential"]["distinct_words"]),
        "merges": int(lines["sequential"]["merges"]),
        "core_identical": lines["core"]["identical"] == "yes",
        "load": load,
    }


# --------------------------------------------------------------------------


def in_scratch_dir(fn):
    def call():
        here = os.getcwd()
        with tempfile.TemporaryDirectory(prefix="ovilex-bench-") as tmp:
            os.chdir(tmp)
            try:
                return fn()
            finally:
                os.chdir(here)
    return call


def thread_counts(text: str) -> list[str]:
    counts = [t.strip() for t in text.split(",") if t.strip()]
    for t in counts:
        if not t.isdigit() or int(t) < 1:
            raise argparse.ArgumentTypeError(f"not a pool size: {t!r}")
    return counts


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing (best of)")
    parser.add_argument("--threads", type=thread_counts, default=["1", "2"],
                        help="pool sizes (OVILEX_NUM_THREADS) for the whole call, comma-separated")
    parser.add_argument("--subset", type=int, default=300_000,
                        help="chunks for the sequential comparison (spread over the sources)")
    parser.add_argument("--no-sequential", action="store_true", help="skip the sequential loop")
    parser.add_argument("--build-dir", default=str(ROOT / "build-bench"))
    parser.add_argument("--no-build", action="store_true", help="use build-dir as it is")
    parser.add_argument("--rebuild-corpus", action="store_true")
    parser.add_argument("--child", choices=("train", "convert"), help=argparse.SUPPRESS)
    parser.add_argument("child_chunks", nargs="?", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        return child(args.build_dir, args.child_chunks, args.child)

    build_dir = pathlib.Path(args.build_dir)
    env = environment()
    env["load_start"] = os.getloadavg()
    if not args.json:
        print(environment_line(env))
    if not args.no_build:
        log(f"bench: building _ovilex and {HELPER} in {build_dir}")
        build(build_dir, [HELPER])
    sys.path.insert(0, str(build_dir))
    import _ovilex

    env["module"] = _ovilex.build_info()
    if not args.json:
        print(env["module"])

    _, per_source, split_seconds = load_chunks(args.rebuild_corpus)
    chunks = [c for cs in per_source.values() for c in cs]
    nbytes = utf8_size(chunks)
    distinct_chunks = len(set(chunks))
    log(f"bench: corpus {nbytes / MB:.1f} MB, {len(chunks)} chunks ({distinct_chunks} distinct), "
        f"split in {split_seconds:.1f} s")

    OUT.mkdir(exist_ok=True)
    exe = build_dir / HELPER
    all_chunks_file = OUT / "train-all.chunks"
    all_marshal_file = OUT / "train-all.marshal"
    write_chunks(all_chunks_file, chunks)
    all_marshal_file.write_bytes(marshal.dumps(chunks))

    rows: list[dict[str, Any]] = []

    # The whole call, per pool size, each run in a fresh process.
    for threads in args.threads:
        log(f"bench: encode_train on the whole corpus, pool of {threads}, best of {args.repeat}")
        load = os.getloadavg()[0]
        runs = [run_child(build_dir, all_marshal_file, "train", threads) for _ in range(args.repeat)]
        row = call_row(f"encode_train, whole corpus, pool of {threads}", runs, len(chunks), nbytes,
                       load)
        row["threads"] = int(threads)
        rows.append(row)
    log(f"bench: conversion and word counting alone, best of {args.repeat}")
    load = os.getloadavg()[0]
    runs = [run_child(build_dir, all_marshal_file, "convert", None) for _ in range(args.repeat)]
    convert = call_row("encode_train(chunks + [None]): conversion + word count", runs,
                       len(chunks), nbytes, load)

    # The stages in C++.
    log(f"bench: {HELPER} on the whole corpus, best of {args.repeat}")
    stages = run_stages(exe, all_chunks_file, args.repeat)
    all_checksums = {r["checksum"] for r in rows} | {stages["counts"]["checksum"]}
    whole_identical = len(all_checksums) == 1 and stages["train_identical"]

    results: dict[str, Any] = {
        "env": env,
        "corpus_mb": nbytes / MB,
        "chunks": len(chunks),
        "distinct_chunks": distinct_chunks,
        "split_seconds": split_seconds,
        "calls": rows,
        "convert": convert,
        "cpp": stages,
        "whole_identical": whole_identical,
    }

    # The straightforward loop against the module, on a subset.
    identical = True
    if not args.no_sequential:
        sub = subset_of(per_source, args.subset)
        sub_bytes = utf8_size(sub)
        sub_chunks_file = OUT / "train-subset.chunks"
        sub_merges_file = OUT / "train-subset.seq.merges"
        write_chunks(sub_chunks_file, sub)
        log(f"bench: sequential merge loop on {len(sub)} chunks ({sub_bytes / MB:.2f} MB)")
        seq = run_sequential(exe, sub_chunks_file, sub_merges_file)
        seconds, result = best_of(args.repeat, in_scratch_dir(lambda: _ovilex.encode_train(sub)))
        module_merges = as_merges(result)
        identical = read_merges(sub_merges_file) == module_merges and seq["core_identical"]
        results["subset"] = {
            "chunks": len(sub),
            "distinct_chunks": len(set(sub)),
            "mb": sub_bytes / MB,
            "merges": seq["merges"],
            "sequential_seconds": seq["seconds"],
            "module_seconds": seconds,
            "speedup": seq["seconds"] / seconds,
            "identical": identical,
            "load": seq["load"],
        }

    env["load_end"] = os.getloadavg()
    if args.json:
        print(json.dumps(results, indent=1))
    else:
        print_table(results)
    if not identical or not whole_identical:
        log("bench: MISMATCH between merge lists")
        return 1
    return 0


def print_table(r: dict[str, Any]) -> None:
    env = r["env"]
    c = r["cpp"]
    counts = c["counts"]
    print(f"load average at start {env['load_start'][0]:.2f} {env['load_start'][1]:.2f} "
          f"{env['load_start'][2]:.2f}, at end {env['load_end'][0]:.2f} {env['load_end'][1]:.2f} "
          f"{env['load_end'][2]:.2f}")
    print(f"corpus: {r['corpus_mb']:.1f} MB UTF-8, {r['chunks']:,} chunks "
          f"({r['distinct_chunks']:,} distinct), split in {r['split_seconds']:.1f} s (not timed below)")
    print()
    head = (f"| {'case':<55} | {'time s':>7} | {'peak RSS MB':>11} | {'over base MB':>12} "
            f"| {'load':>4} |")
    print(head)
    print("|" + "|".join("-" * len(x) for x in head.split("|")[1:-1]) + "|")

    def line(name: str, seconds: float, peak: float | None = None, over: float | None = None,
             load: float | None = None) -> None:
        peak_s = f"{peak:>11.1f}" if peak is not None else f"{'':>11}"
        over_s = f"{over:>12.1f}" if over is not None else f"{'':>12}"
        load_s = f"{load:>4.2f}" if load is not None else f"{'':>4}"
        print(f"| {name:<55} | {seconds:>7.3f} | {peak_s} | {over_s} | {load_s} |")

    for x in r["calls"]:
        line(x["case"], x["seconds"], x["peak_mb"], x["peak_increase_mb"], x["load"])
    x = r["convert"]
    line(x["case"], x["seconds"], x["peak_mb"], x["peak_increase_mb"], x["load"])
    base = c["baseline_mb"]
    for key, name in STAGES:
        s = c["stages"][key]
        line(f"C++ stage: {name}", s["seconds"], s["peak_mb"], s["peak_mb"] - base,
             c["load"] if key == "words" else None)
    line("C++ train() in one go, after word counting", c["train_seconds"])
    line("  of it the merge loop", c["train_merge_loop_seconds"])
    s = r.get("subset")
    if s is not None:
        line(f"sequential merge loop (C++), {s['chunks']:,} chunks", s["sequential_seconds"],
             load=s["load"])
        line(f"encode_train, the same {s['chunks']:,} chunks", s["module_seconds"])
    print()
    print("Python rows: fresh process per run, best time of the runs; peak RSS = size with the "
          "chunks loaded + the call's greatest peak increase.")
    print(f"C++ rows: absolute peak of the stage; the base is the process with the chunk file "
          f"loaded ({base:.1f} MB, of it the file {c['file_mb']:.1f} MB)"
          + ("" if c["peak_reset"] else "; PEAK NOT RESET between stages") + ".")
    print()
    print(f"counts: {r['chunks']:,} chunks, {r['distinct_chunks']:,} distinct; "
          f"{counts['initial_pairs']:,} distinct initial pairs; {counts['word_rewrites']:,} word "
          f"rewrites; {counts['merges']:,} merges")
    print(f"merges identical across pool sizes, the C++ stages and train(): "
          f"{'yes' if r['whole_identical'] else 'NO'} (checksum {counts['checksum']})")
    if s is not None:
        print(f"subset: {s['chunks']:,} chunks ({s['distinct_chunks']:,} distinct, {s['mb']:.2f} MB), "
              f"{s['merges']:,} merges; sequential loop / encode_train: {s['speedup']:.0f}x; "
              f"merges identical: {'yes' if s['identical'] else 'NO'}")
    print()
    whole = max(r["calls"], key=lambda x: x["threads"])["seconds"]
    merge_loop = c["stages"]["merges"]["seconds"]
    conv = r["convert"]["seconds"]
    print(f"aim: whole encode_train call under 5 s: {whole:.2f} s, "
          f"{'met' if whole < 5 else 'NOT met'}")
    print(f"aim: merge loop ({merge_loop:.2f} s) cheaper than conversion + word counting "
          f"({conv:.2f} s): {'met' if merge_loop < conv else 'NOT met'}")


if __name__ == "__main__":
    sys.exit(main())
