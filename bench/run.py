"""The benchmarks of ovilex, cases of one harness on the corpus of bench/corpus.py.

    tools/env --with bench python3.14 bench/run.py [CASE...] [--repeat N] [--workdir DIR]
                                                   [--scale N] [--build-dir DIR] [--no-build]

    peers  ovilex beside tiktoken and HF tokenizers, the project's main table
    cli    python -m ovilex train on the corpus's files, --jobs 1 and all cores
    shards python -m ovilex encode --out on the corpus file (--scale N: N copies of it)
    scale  python -m ovilex count and train --counts on 10% and 30% of the corpus file, all
           of it (--scale N: and N copies), fitted and extrapolated to 1 TB
    core   _ovilex.encode_train and _ovilex.encode on the corpus's chunks
    dask   count, train and encode --out on the corpus's files: local, from a count file, and
           on a Dask scheduler with two one-thread workers on 127.0.0.1
    sizes  python -m ovilex train --vocab-size N for N from 8,000 to 262,144, beside HF's
           trainer at 65,536 and 131,072

All seven by default, in this order. Every figure is the median of --repeat runs; MB is
10^6 bytes. The exit status is 1 when results that must be equal differ.
bench/README.md describes the rows.
"""

from __future__ import annotations

import argparse
import array
import contextlib
import hashlib
import json
import math
import os
import pathlib
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from typing import Any

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import corpus  # noqa: E402
from corpus import MB  # noqa: E402
from harness import (  # noqa: E402
    RECORDS, ROOT, Merge, Row, child, log, measure, merges_of, per_call, status_kb, table, yes,
)
from peers import HF_TRAIN, case_peers  # noqa: E402

# --------------------------------------------------------------------------
# core: the module's calls on the corpus's chunks


def case_core(args: argparse.Namespace) -> bool:
    import _ovilex
    from ovilex import Tokenizer, split

    paths = corpus.files()
    texts = [p.read_text(encoding="utf-8") for p in paths]
    mb = sum(p.stat().st_size for p in paths) / MB
    log("core: ovilex.split")
    splits = measure(lambda: [c for text in texts for c in split(text)], args.repeat)
    chunks = splits.result
    log("core: _ovilex.encode_train")
    with tempfile.TemporaryDirectory(prefix="ovilex-core-") as tmp, contextlib.chdir(tmp):
        train = measure(lambda: _ovilex.encode_train(chunks), args.repeat)
        tok = Tokenizer.load(tmp)
    merges = args.merges["core"] = train.result
    log("core: _ovilex.encode")
    encode = measure(lambda: _ovilex.encode(chunks, merges), args.repeat)
    log("core: Tokenizer.encode_batch")
    batch = measure(lambda: tok.encode_batch(texts), args.repeat)

    rows: list[Row] = [("call", "s", "MB/s", "chunks/s", "peak over start MB")]
    for name, m in (("ovilex.split(text) per source", splits),
                    ("_ovilex.encode_train(chunks)", train),
                    ("_ovilex.encode(chunks, merges)", encode),
                    ("Tokenizer.encode_batch(texts)", batch)):
        rows.append((name, f"{m.seconds:.2f}", f"{mb / m.seconds:.1f}",
                     f"{len(chunks) / m.seconds:,.0f}",
                     "n/a" if m.peak_mb is None else f"{m.peak_mb:.0f}"))
    ok = [splits.same and train.same and encode.same and batch.same,
          tok.merges == merges,
          [i for ids in batch.result for i in ids] == encode.result]
    print(f"corpus: {len(paths)} sources, {mb:.1f} MB, {len(chunks):,} chunks "
          f"({len(set(chunks)):,} distinct); {len(merges)} merges; {len(encode.result):,} ids")
    print()
    table(rows)
    print(f"every run the same result: {yes(ok[0])}; records written by encode_train "
          f"(Tokenizer.load) = its merges: {yes(ok[1])}; encode_batch ids = encode ids: "
          f"{yes(ok[2])}")
    return all(ok)


# --------------------------------------------------------------------------
# cli: python -m ovilex train, raw files to record files

COUNTS = ("files", "bytes", "chunks", "distinct_chunks", "merges", "tokens", "round_trip")


def case_cli(args: argparse.Namespace) -> bool:
    paths = [str(p) for p in corpus.files()]
    runs: dict[int, list[tuple[float, ...]]] = {
        j: [] for j in dict.fromkeys([1, len(os.sched_getaffinity(0))])}
    first: tuple[Any, ...] = ()
    same = True
    floor = 0
    for i in range(args.repeat):
        for jobs in runs:  # taking turns, so both see the same swings of load
            log(f"cli: --jobs {jobs}, run {i + 1} of {args.repeat}")
            with tempfile.TemporaryDirectory(prefix="ovilex-cli-") as tmp:
                timings = pathlib.Path(tmp, "timings.json")
                wall, peak, _ = child([sys.executable, "-m", "ovilex", "train", *paths,
                                       "--workdir", tmp, "--jobs", str(jobs),
                                       "--timings-json", str(timings)], args.env)
                floor = max(floor, status_kb("VmHWM"))
                report = json.loads(timings.read_text())
                result = (*(pathlib.Path(tmp, "data", n).read_bytes() for n in RECORDS),
                          *(report[k] for k in COUNTS))
            first = first or result
            same = same and result == first and report["round_trip"]
            split, train = report["read_split_seconds"], report["train_seconds"]
            runs[jobs].append((wall, split, train, wall - split - train, peak))
    args.merges["cli"] = merges_of(first[0])

    rows: list[Row] = [("--jobs", "wall s", "read+split s", "train+check s", "rest s",
                        "peak MB")]
    for jobs, rs in runs.items():
        med = [statistics.median(column) for column in zip(*rs)]
        rows.append((str(jobs), *(f"{v:.2f}" for v in med[:4]), f"{med[4]:.0f}"))
    c = dict(zip(COUNTS, first[2:]))
    print(f"corpus: {c['files']} files, {c['bytes'] / MB:.1f} MB, {c['chunks']:,} chunks "
          f"({c['distinct_chunks']:,} distinct); {c['merges']} merges; {c['tokens']:,} tokens, "
          f"{c['bytes'] / c['tokens']:.2f} bytes per token")
    print()
    table(rows)
    print("read+split and train+check: the command's own timings (--timings-json); rest: "
          "start-up, imports, loading the records; peak: the child's ru_maxrss, never below "
          f"ours at the start, {floor * 1024 / MB:.0f} MB")
    print(f"record files and counts the same in every run and for every --jobs, round trip "
          f"good: {yes(same)}")
    return same


# --------------------------------------------------------------------------
# shards: python -m ovilex encode FILE --out DIR, text to uint16 token shards


def sha256_of(path: pathlib.Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def copies(file: pathlib.Path, n: int, to: pathlib.Path) -> pathlib.Path:
    """to, written as file n times over."""
    with open(to, "wb") as out:
        for _ in range(n):
            with open(file, "rb") as f:
                shutil.copyfileobj(f, out, 1 << 20)
    return to


def case_shards(args: argparse.Namespace) -> bool:
    file = corpus.all_file()
    with tempfile.TemporaryDirectory(prefix="ovilex-shards-") as tmp:
        workdir, out, source = pathlib.Path(tmp, "wd"), pathlib.Path(tmp, "out"), file
        log("shards: training once, for the records that encoding uses")
        child([sys.executable, "-m", "ovilex", "train", str(file), "--workdir", str(workdir)],
              args.env)
        if args.scale > 1:
            log(f"shards: the corpus {args.scale} times over in one file")
            source = copies(file, args.scale, pathlib.Path(tmp, file.name))
        mb = source.stat().st_size / MB
        runs, digests = [], set()
        for i in range(args.repeat):
            log(f"shards: run {i + 1} of {args.repeat}")
            wall, peak, _ = child([sys.executable, "-m", "ovilex", "encode", str(source), "--out",
                                   str(out), "--workdir", str(workdir), "--progress", "none"],
                                  args.env)
            runs.append((wall, peak))
            digests.add(sha256_of(out / f"{source.stem}.bin"))
        tokens = (out / f"{source.stem}.bin").stat().st_size // 2
        ends = array.array("Q", (out / f"{source.stem}.idx").read_bytes()).tolist()
    wall, peak = (statistics.median(column) for column in zip(*runs))
    print(f"input: {args.scale} x {file.relative_to(ROOT)}, {mb:.1f} MB; {tokens:,} tokens, "
          f"{mb * MB / tokens:.2f} bytes per token; {len(os.sched_getaffinity(0))} threads")
    print()
    table([("measure", "value", "target", "met"),
           ("encode --out: MB/s", f"{mb / wall:.0f}", ">= 100 on 2 cores", yes(mb / wall >= 100)),
           ("encode --out: peak RSS, MB", f"{peak:.0f}", "<= 300 on 750 MB", yes(peak <= 300))])
    ok = len(digests) == 1 and ends == [tokens]
    print(f"wall time of the whole command; peak: the child's ru_maxrss. The same shard in every "
          f"run, its .idx one document of all the tokens: {yes(ok)}")
    return ok


# --------------------------------------------------------------------------
# scale: count and train --counts as the corpus grows, a model for larger corpora

SAMPLES = (0.1, 0.3)  # fractions of the corpus file, then the whole of it
TB, WORKERS = 10**12, (1, 8, 64)


def sample(data: bytes, fraction: float) -> bytes:
    """The first fraction of every MB of data, each piece up to a line end:
    the same mix of sources as the whole (a prefix would add languages)."""
    out, start = bytearray(), 0
    while start < len(data):
        end = data.find(b"\n", start + MB)
        end = len(data) if end < 0 else end + 1
        cut = data.find(b"\n", start + int(MB * fraction), end)
        out += data[start:end if cut < 0 else cut + 1]
        start = end
    return bytes(out)


def power_fit(xs: list[float], ys: list[float]) -> tuple[float, float]:
    """k and b of y = k * x**b, by least squares on the logs."""
    b, a = statistics.linear_regression([math.log(x) for x in xs], [math.log(y) for y in ys])
    return math.exp(a), b


def scale_point(path: pathlib.Path, out: pathlib.Path,
                args: argparse.Namespace) -> dict[str, Any]:
    """count --jobs 1 and all, then train --counts out, on one text file."""
    runs, digests, timings = [], set(), out.with_suffix(".json")
    for i in range(args.repeat):
        log(f"scale: {path.name}, run {i + 1} of {args.repeat}")
        run: list[float] = []
        for jobs in (1, len(os.sched_getaffinity(0))):
            run += child([sys.executable, "-m", "ovilex", "count", str(path), "--out", str(out),
                          "--jobs", str(jobs)], args.env)[:2]
            digests.add(sha256_of(out))
        run += child([sys.executable, "-m", "ovilex", "train", "--counts", str(out), "--workdir",
                      str(out.with_suffix("")), "--timings-json", str(timings)], args.env)[:2]
        runs.append(run + [json.loads(timings.read_text())["train_seconds"]])
    with open(out, "rb") as f:  # the header: magic, version, distinct and total chunks
        distinct, chunks = struct.unpack_from("<QQ", f.read(28), 12)
    m = [statistics.median(column) for column in zip(*runs)]
    return {"mb": path.stat().st_size / MB, "chunks": chunks, "distinct": distinct,
            "count_1": m[0], "count_all": m[2], "count_mb": max(m[1], m[3]), "train": m[6],
            "train_mb": m[5], "entry": out.stat().st_size / distinct, "same": len(digests) == 1}


def case_scale(args: argparse.Namespace) -> bool:
    from ovilex import merge_count_files

    file = corpus.all_file()
    data = file.read_bytes()
    with tempfile.TemporaryDirectory(prefix="ovilex-scale-") as tmp:  # 750 MB at --scale 10
        t = pathlib.Path(tmp)
        sources = {f"{f:.0%}": t / f"{f:.0%}.txt" for f in SAMPLES} | {"100%": file}
        for f in SAMPLES:
            sources[f"{f:.0%}"].write_bytes(sample(data, f))
        del data  # a child's peak starts at ours
        if args.scale > 1:
            log(f"scale: the corpus {args.scale} times over in one file")
            sources[f"{args.scale}x"] = copies(file, args.scale, t / "copies.txt")
        base = child([sys.executable, "-c", "import ovilex"], args.env)[1]
        p = {k: scale_point(path, t / f"{k.replace('%', 'pc')}.counts", args)
             for k, path in sources.items()}
        log("scale: merge_count_files of the 100% count file with itself")
        full = t / "100pc.counts"
        merge_rate = 2 * full.stat().st_size / measure(  # bytes read per second
            lambda: merge_count_files([full, full], t / "merged.counts"), args.repeat,
            compare=False).seconds
        log("scale: python -m ovilex train all.txt, for its record files")
        child([sys.executable, "-m", "ovilex", "train", str(file), "--workdir", tmp], args.env)
        same = all((t / "data" / n).read_bytes() == (t / "100pc" / "data" / n).read_bytes()
                   for n in RECORDS)
    table([("fraction", "MB", "chunks", "distinct chunks", "count s (1 thread)",
            f"count s ({len(os.sched_getaffinity(0))})", "count MB/s", "count peak MB",
            "train s", "train peak MB")] +
          [(k, f"{r['mb']:.1f}", f"{r['chunks']:,}", f"{r['distinct']:,}", f"{r['count_1']:.2f}",
            f"{r['count_all']:.2f}", f"{r['mb'] / r['count_1']:.0f} / "
            f"{r['mb'] / r['count_all']:.0f}", f"{r['count_mb']:.0f}", f"{r['train']:.2f}",
            f"{r['train_mb']:.0f}")
           for k, r in p.items()])
    fit = [r for k, r in p.items() if k[-1] == "%"]  # copies add chunks but no distinct ones
    d = [r["distinct"] for r in fit]
    k, beta = power_fit([r["chunks"] for r in fit], d)
    laws = {key: (floor, *power_fit(d, [r[key] - floor for r in fit]))  # of distinct chunks
            for key, floor in (("train", 0.0), ("train_mb", base), ("count_mb", base))}

    def at(key: str, distinct: float) -> float:
        floor, c, b = laws[key]
        return floor + c * distinct ** b

    one_core = 1 / statistics.linear_regression([r["mb"] for r in p.values()],
                                                [r["count_1"] for r in p.values()])[0]
    entry, chunks = p["100%"]["entry"], TB / MB * p["100%"]["chunks"] / p["100%"]["mb"]
    distinct = k * chunks ** beta
    print(f"Heaps' law over the {len(fit)} samples: distinct = K * chunks^beta, K = {k:.3g}, "
          f"beta = {beta:.3f}; as powers of distinct chunks: train s ^{laws['train'][2]:.2f}, "
          f"train and count peaks over the interpreter's {base:.0f} MB ^{laws['train_mb'][2]:.2f} "
          f"and ^{laws['count_mb'][2]:.2f}")
    print(f"counting: {one_core:.0f} MB/s on one core (the slope of seconds on MB); merging count "
          f"files: {merge_rate / MB:.0f} MB/s of input; {entry:.1f} bytes per distinct chunk")
    print(f"\n1 TB of similar text: {chunks:.3g} chunks, {distinct:.3g} distinct; count file "
          f"{distinct * entry / 1e9:.1f} GB; train --counts {at('train', distinct) / 60:.0f} min, "
          f"peak {at('train_mb', distinct) / 1e3:.1f} GB\n")
    table([("workers of 2 cores", "counting min", "count peak GB", "merging count files min")] +
          [(str(n), f"{TB / MB / n / (2 * one_core) / 60:.1f}",
            f"{at('count_mb', k * (chunks / n) ** beta) / 1e3:.1f}",
            f"{(n > 1) * n * k * (chunks / n) ** beta * entry / merge_rate / 60:.1f}")
           for n in WORKERS])
    counted = all(r["same"] for r in p.values())
    print(f"count files the same for every --jobs and run: {yes(counted)}; train --counts on the "
          f"100% count file = train all.txt (record files): {yes(same)}")
    return counted and same


# --------------------------------------------------------------------------

# cli, shards and scale before core: a child's peak cannot fall below what this
# process holds.
# --------------------------------------------------------------------------
# dask: the same commands locally, from a count file and on a Dask cluster


@contextlib.contextmanager
def dask_cluster(env: dict[str, str], top: pathlib.Path, workers: int) -> Any:
    """The address of a scheduler with workers of one thread each, on
    127.0.0.1, stopped on leaving."""
    address_file = top / "scheduler.json"
    run = [sys.executable, "-m"]
    quiet = {"env": env, "cwd": top, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    procs = [subprocess.Popen([*run, "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                               "--port", "0", "--no-dashboard", "--scheduler-file",
                               str(address_file)], **quiet)]
    try:
        while not address_file.is_file():
            time.sleep(0.1)
        procs += [subprocess.Popen([*run, "distributed.cli.dask_worker", "--scheduler-file",
                                    str(address_file), "--nthreads", "1", "--no-dashboard",
                                    "--local-directory", str(top / f"w{i}")], **quiet)
                  for i in range(workers)]
        from distributed import Client

        with Client(scheduler_file=str(address_file), set_as_default=False) as client:
            client.wait_for_workers(workers, timeout=120)
            yield json.loads(address_file.read_text())["address"]
    finally:
        for proc in reversed(procs):
            proc.terminate()
            proc.wait()


def case_dask(args: argparse.Namespace) -> bool:
    files = [str(p) for p in corpus.files()]
    mb = sum(os.path.getsize(p) for p in files) / MB
    ovilex = [sys.executable, "-m", "ovilex"]
    with tempfile.TemporaryDirectory(prefix="ovilex-dask-") as tmp:
        top = pathlib.Path(tmp)
        with dask_cluster(args.env, top, 2) as address:
            runs = {
                "local": [],
                "count file": [],
                "dask": ["--dask", address],
            }
            rows: list[Row] = [("run", "count s", "train s", "encode --out s", "peak MB")]
            outputs: dict[str, list[bytes]] = {}
            for name, extra in runs.items():
                log(f"dask: {name}")
                d = top / name.replace(" ", "-")
                times, peaks = [], []
                if name == "count file":
                    steps = [[*ovilex, "train", "--counts", str(top / "local/all.counts"),
                              "--workdir", str(d / "wd")]]
                else:
                    steps = [[*ovilex, "count", *files, "--out", str(d / "all.counts"), *extra],
                             [*ovilex, "train", *files, "--workdir", str(d / "wd"), *extra],
                             [*ovilex, "encode", *files, "--workdir", str(d / "wd"), "--out",
                              str(d / "shards"), "--progress", "none", *extra]]
                d.mkdir()
                for step in steps:
                    wall, peak, _ = child(step, args.env)
                    times.append(wall)
                    peaks.append(peak)
                cells = [f"{t:.2f}" for t in times]
                if name == "count file":
                    cells = ["-", *cells, "-"]
                rows.append((name, *cells, f"{max(peaks):.0f}"))
                outputs[name] = [p.read_bytes() for p in sorted(d.rglob("*")) if p.is_file()]
    table(rows)
    local, from_counts, on_dask = outputs["local"], outputs["count file"], outputs["dask"]
    same = on_dask == local and from_counts == [b for b in local if b in from_counts] and \
        len(from_counts) == len(RECORDS)
    print(f"corpus: {len(files)} files, {mb:.1f} MB; dask: 2 workers of one thread on this "
          "machine, pieces of 64 MiB; peak: the client's ru_maxrss")
    print(f"count file, records and shards byte-identical across local, count-file and Dask "
          f"runs: {yes(same)}")
    return same


# --------------------------------------------------------------------------
# sizes: python -m ovilex train --vocab-size N beside HF's trainer

SIZES = (8000, 32768, 65536, 131072, 262144)
HF_SIZES = (65536, 131072)  # the sizes with a target against HF's trainer


def case_sizes(args: argparse.Namespace) -> bool:
    from ovilex import Tokenizer

    file = corpus.all_file()
    mb = file.stat().st_size / MB
    runs: dict[tuple[str, int], list[tuple[float, float]]] = {}
    made: dict[int, list[Merge]] = {}
    train_seconds: dict[int, list[float]] = {}
    load_ms: dict[int, float] = {}
    same = True
    with tempfile.TemporaryDirectory(prefix="ovilex-sizes-") as tmp:
        for i in range(args.repeat):
            for n in SIZES:  # taking turns, so every size sees the same swings of load
                log(f"sizes: ovilex --vocab-size {n}, run {i + 1} of {args.repeat}")
                workdir = pathlib.Path(tmp, str(n))
                timings = pathlib.Path(tmp, f"{n}.json")
                wall, peak, _ = child([sys.executable, "-m", "ovilex", "train", str(file),
                                       "--workdir", str(workdir), "--vocab-size", str(n),
                                       "--timings-json", str(timings)], args.env)
                runs.setdefault(("ovilex", n), []).append((wall, peak))
                train_seconds.setdefault(n, []).append(json.loads(timings.read_text())["train_seconds"])
                merges = merges_of((workdir / "data" / RECORDS[0]).read_bytes())
                same = same and made.setdefault(n, merges) == merges
                if n in HF_SIZES:
                    log(f"sizes: HF BpeTrainer(vocab_size={n}), run {i + 1} of {args.repeat}")
                    wall, peak, out = child([sys.executable, "-c", HF_TRAIN, str(file),
                                             str(n)], args.env)
                    runs.setdefault(("hf", n), []).append((wall, peak))
        for n in SIZES:
            load_ms[n] = per_call(lambda: Tokenizer.load(pathlib.Path(tmp, str(n))), args.repeat) * 1e3
    # The merges of a larger size begin with those of every smaller one.
    prefix = all(made[b][:len(made[a])] == made[a] for a, b in zip(SIZES, SIZES[1:]))

    def med(who: str, n: int, k: int) -> float:
        return statistics.median(r[k] for r in runs[(who, n)])

    rows: list[Row] = [("vocab size", "merges", "wall s", "train+check s", "peak MB",
                        "load ms", "load ns/id", "HF wall s", "HF peak MB", "faster", "memory")]
    ok = True
    for n in SIZES:
        ids = 256 + len(made[n])
        hf = ("hf", n) in runs
        faster = med("hf", n, 0) / med("ovilex", n, 0) if hf else None
        memory = med("ovilex", n, 1) / med("hf", n, 1) if hf else None
        if hf:
            ok = ok and faster >= 20 and memory <= 0.25
        rows.append((str(n), f"{len(made[n]):,}", f"{med('ovilex', n, 0):.2f}",
                     f"{statistics.median(train_seconds[n]):.2f}", f"{med('ovilex', n, 1):.0f}",
                     f"{load_ms[n]:.1f}", f"{load_ms[n] * 1e6 / ids:.0f}",
                     f"{med('hf', n, 0):.1f}" if hf else "-",
                     f"{med('hf', n, 1):.0f}" if hf else "-",
                     f"{faster:.1f}x" if hf else "-", f"{memory:.2f}x" if hf else "-"))
    print(f"corpus: {file.relative_to(ROOT)} ({mb:.1f} MB); min_frequency 3 on both sides")
    print()
    table(rows)
    print("wall: the whole command (ovilex: reading, splitting, training, its round-trip check; "
          "HF: reading and training); peak: the child's ru_maxrss; load: Tokenizer.load of the "
          "records; targets at 65,536 and 131,072: at least 20x faster than HF, at most 0.25x "
          f"its peak. Met: {yes(ok)}")
    print(f"the merges of each size begin with those of the smaller ones: {yes(prefix)}; every "
          f"run the same merges: {yes(same)}")
    return prefix and same


CASES = {"peers": case_peers, "cli": case_cli, "shards": case_shards, "scale": case_scale,
         "core": case_core, "dask": case_dask, "sizes": case_sizes}


def environment() -> str:
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty",
                                 "--abbrev=12"], capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = ""
    return (f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs "
            f"({len(os.sched_getaffinity(0))} usable), load {os.getloadavg()[0]:.2f}, "
            f"commit {commit or 'unknown'}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", metavar="CASE",
                        help="peers, cli, shards, scale, core, dask, sizes (default: all)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure (the median)")
    parser.add_argument("--workdir", type=pathlib.Path,
                        help="peers: train ovilex here; records already there are reused and "
                        "training is skipped (default: a temporary directory)")
    parser.add_argument("--scale", type=int, default=1, metavar="N",
                        help="shards: encode the corpus N times over in one file (10: 750 MB); "
                        "scale: add a point of N copies")
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build-bench")
    parser.add_argument("--no-build", action="store_true", help="use --build-dir as it is")
    args = parser.parse_args(argv)
    if unknown := sorted(set(args.cases) - CASES.keys()):
        parser.error(f"unknown case {', '.join(unknown)}; the cases: {', '.join(CASES)}")

    build_dir = args.build_dir.resolve()
    if not args.no_build:
        log(f"building _ovilex and ovilex._native in {build_dir}")
        if not (build_dir / "CMakeCache.txt").is_file():
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                            "-DOVILEX_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}"],
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_ovilex", "_native"],
                       check=True, stdout=subprocess.DEVNULL)
    path = [str(ROOT / "python"), str(build_dir)]
    sys.path[:0] = path
    args.env = {**os.environ, "PYTHONPATH": os.pathsep.join(path)}
    args.merges = {}

    print(environment())
    ok = True
    for name in (n for n in CASES if not args.cases or n in args.cases):
        print(f"\n## {name}\n")
        ok = CASES[name](args) and ok
    if {"core", "cli"} <= args.merges.keys():
        same = args.merges["core"] == args.merges["cli"]
        print(f"\nmerges of _ovilex.encode_train(the chunks) = the CLI's merges_record.json: "
              f"{yes(same)}")
        ok = ok and same
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
