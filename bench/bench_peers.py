"""ovilex side by side with its peers, tiktoken and HF tokenizers, in one run.

    tools/env --with bench python3.14 bench/bench_peers.py [--repeat N] [--workdir DIR] [--json]

On bench/corpus/all.txt: training (`python -m ovilex train` against HF's
BpeTrainer, each a child process: wall time, peak resident size); encoding
texts of about 16 KB, as lists against tiktoken and as uint16 arrays, on one
thread and on all; one short sentence, encoded and decoded; Tokenizer.load.
tiktoken gets the vocabulary that ovilex learnt (ranks = ids) and the GPT-2
pattern. Every figure is the median of --repeat runs. bench/README.md
describes each row and its target.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from collections.abc import Callable
from typing import Any

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import corpus  # noqa: E402
from common import (MB, ROOT, build, environment, environment_line, log,  # noqa: E402
                    reset_peak, status_kb)

SENTENCE = "The quick brown fox jumps over the dog."
GPT2_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
TEXT_BYTES = 16_000
SAMPLE = 200  # texts compared id for id

HF_TRAIN = """
import sys
from tokenizers import Tokenizer, models, pre_tokenizers, trainers
tok = Tokenizer(models.BPE())
tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
trainer = trainers.BpeTrainer(vocab_size=8000, min_frequency=3, show_progress=False,
                              initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
tok.train([sys.argv[1]], trainer)
print(tok.get_vocab_size())
"""


def child(cmd: list[str], env: dict[str, str] | None = None) -> tuple[float, int, str]:
    """Wall seconds, peak resident kB (the child's ru_maxrss: its own peak or a
    reaped descendant's, whichever is greater) and standard output of one
    child process. A child's ru_maxrss starts at the peak of the process that
    started it, so ours is lowered first."""
    reset_peak()
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.stdout.close()
    proc.returncode = os.waitstatus_to_exitcode(status)  # reaped: Popen must not wait again
    if proc.returncode:
        raise SystemExit(f"bench: {' '.join(cmd[:4])} ... failed with status {proc.returncode}")
    return wall, usage.ru_maxrss, out


def train(file: pathlib.Path, workdir: pathlib.Path, env: dict[str, str],
          repeat: int) -> dict[str, Any]:
    runs: dict[str, list[tuple[float, int, str]]] = {"ovilex": [], "hf": []}
    floor = 0
    for i in range(repeat):  # alternating, so both see the same swings of load
        log(f"bench: training, run {i + 1} of {repeat}")
        runs["ovilex"].append(child([sys.executable, "-m", "ovilex", "train", str(file),
                                     "--workdir", str(workdir)], env))
        floor = max(floor, status_kb("VmHWM"))
        runs["hf"].append(child([sys.executable, "-c", HF_TRAIN, str(file)]))
    out = {"parent_kb": floor, "hf_vocab_size": int(runs["hf"][-1][2])}
    for name, rs in runs.items():
        out[f"{name}_seconds"] = statistics.median(r[0] for r in rs)
        out[f"{name}_peak_kb"] = statistics.median(r[1] for r in rs)
    return out


def texts_of(data: bytes) -> list[str]:
    """data cut into texts of TEXT_BYTES or a little more, each ending at a
    line end (so never inside a UTF-8 sequence)."""
    texts, start = [], 0
    while start < len(data):
        end = data.find(b"\n", start + TEXT_BYTES)
        end = len(data) if end < 0 else end + 1
        texts.append(data[start:end].decode("utf-8"))
        start = end
    return texts


def seconds(fn: Callable[[], Any], repeat: int) -> float:
    """Median wall time of repeat calls; the collector is off while timing,
    as in timeit, and each result is let go before the next call."""
    times = []
    for _ in range(repeat):
        gc.disable()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        gc.enable()
        del result
    return statistics.median(times)


def per_call(fn: Callable[[], Any], repeat: int) -> float:
    """Median seconds per call, timeit's autorange deciding the loop size."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat, number)) / number


def in_process(workdir: pathlib.Path, texts: list[str], repeat: int,
               threads: int) -> dict[str, Any]:
    import tiktoken
    from ovilex import Tokenizer

    tok = Tokenizer.load(workdir)
    vocab = json.loads((workdir / "data" / "vocab_list.json").read_text())
    ranks = {bytes(e["bytes"]): e["id"] for e in vocab}
    enc = tiktoken.Encoding(name="ovilex-vocab", pat_str=GPT2_PATTERN, mergeable_ranks=ranks,
                            special_tokens={})
    mb = sum(len(t.encode("utf-8")) for t in texts) / MB
    r: dict[str, Any] = {"texts": len(texts), "mb": mb, "ids": len(vocab),
                         "distinct_bytes": len(ranks)}

    try:
        r["threads_option"] = tok.encode_batch([""], threads=1) is not None
    except TypeError:
        r["threads_option"] = False

    def ov_batch(n: int | None) -> list[list[int]]:
        if r["threads_option"]:
            return tok.encode_batch(texts, threads=n)
        return tok.encode_batch(texts)

    log("bench: encode_batch, all threads")
    r["ovilex_all"] = mb / seconds(lambda: ov_batch(None), repeat)
    r["tiktoken_all"] = mb / seconds(
        lambda: enc.encode_ordinary_batch(texts, num_threads=threads), repeat)
    log("bench: encode_batch, one thread")
    r["ovilex_one"] = mb / seconds(lambda: ov_batch(1), repeat)
    r["tiktoken_one"] = mb / seconds(lambda: enc.encode_ordinary_batch(texts, num_threads=1),
                                     repeat)

    log("bench: uint16 arrays")
    array_fn = getattr(tok, "encode_batch_array", None)

    def numpy_batch(n: int) -> list[Any]:
        with concurrent.futures.ThreadPoolExecutor(n) as pool:
            return list(pool.map(enc.encode_to_numpy, texts))

    for name, n in (("one", 1), ("all", None)):
        if array_fn is not None:
            r[f"array_{name}"] = mb / seconds(lambda: array_fn(texts, threads=n), repeat)
        if hasattr(enc, "encode_to_numpy"):
            r[f"numpy_{name}"] = mb / seconds(lambda: numpy_batch(n or threads), repeat)

    log("bench: one sentence, load")
    ids, tk_ids = tok.encode(SENTENCE), enc.encode_ordinary(SENTENCE)
    r["encode_us"] = per_call(lambda: tok.encode(SENTENCE), repeat) * 1e6
    r["tiktoken_encode_us"] = per_call(lambda: enc.encode_ordinary(SENTENCE), repeat) * 1e6
    r["decode_us"] = per_call(lambda: tok.decode(ids), repeat) * 1e6
    r["tiktoken_decode_us"] = per_call(lambda: enc.decode(tk_ids), repeat) * 1e6
    r["load_ms"] = per_call(lambda: Tokenizer.load(workdir), repeat) * 1e3

    sample = texts[:: max(1, len(texts) // SAMPLE)][:SAMPLE]
    ours = tok.encode_batch(sample)
    r["sentence_same"] = ids == tk_ids
    r["sample"] = len(sample)
    r["sample_same"] = sum(a == enc.encode_ordinary(t) for a, t in zip(ours, sample))
    r["bytes_per_token"] = sum(len(t.encode("utf-8")) for t in sample) / sum(map(len, ours))
    if array_fn is not None:
        flat, offsets = array_fn(sample)
        r["array_same"] = len(offsets) == len(sample) + 1 and all(
            list(flat[offsets[i]:offsets[i + 1]]) == a for i, a in enumerate(ours))
    return r


def table(t: dict[str, Any] | None, e: dict[str, Any]) -> list[tuple[str, ...]]:
    """(measure, ovilex, peer, ratio, target, met) rows."""
    def row(label: str, ours: float | None, peer: float | None, unit: str, ratio: float | None,
            target: str, met: bool | None) -> tuple[str, ...]:
        fmt = (lambda v: "n/a" if v is None else f"{v:,.{2 if v < 100 else 0}f} {unit}")
        return (label, fmt(ours), "-" if peer is None else fmt(peer),
                "-" if ratio is None else f"{ratio:.3g}x", target or "-",
                "-" if met is None else ("yes" if met else "NO"))

    rows = []
    if t is not None:
        x = t["hf_seconds"] / t["ovilex_seconds"]
        rows.append(row("train: wall (vs HF)", t["ovilex_seconds"], t["hf_seconds"], "s", x,
                        ">= 15x faster", x >= 15))
        f = t["ovilex_peak_kb"] / t["hf_peak_kb"]
        rows.append(row("train: peak RSS (vs HF)", t["ovilex_peak_kb"] / 1000,
                        t["hf_peak_kb"] / 1000, "MB", f, "<= 0.25x", f <= 0.25))
    for name, what in (("all", f"all {e['threads']} threads"), ("one", "1 thread")):
        x = e[f"ovilex_{name}"] / e[f"tiktoken_{name}"]
        rows.append(row(f"encode_batch, {what} (vs tiktoken)", e[f"ovilex_{name}"],
                        e[f"tiktoken_{name}"], "MB/s", x, ">= 8x", x >= 8))
    for name, what in (("one", "1 thread"), ("all", "all threads")):
        ours, peer = e.get(f"array_{name}"), e.get(f"numpy_{name}")
        rows.append(row(f"uint16 array, {what} (vs tiktoken numpy)", ours, peer, "MB/s",
                        None if ours is None or peer is None else ours / peer,
                        ">= 150 MB/s" if name == "one" else "",
                        None if ours is None or name != "one" else ours >= 150))
    for op, goal in (("encode", 3.0), ("decode", 1.0)):
        x = e[f"tiktoken_{op}_us"] / e[f"{op}_us"]
        rows.append(row(f"{op} 39 chars (vs tiktoken)", e[f"{op}_us"], e[f"tiktoken_{op}_us"],
                        "us", x, f">= {goal:g}x faster", x >= goal))
    rows.append(row(f"Tokenizer.load ({e['ids']} ids)", e["load_ms"], None, "ms", None,
                    "<= 10 ms", e["load_ms"] <= 10))
    return rows


def report(r: dict[str, Any]) -> None:
    e, t = r["encode"], r["train"]
    print(environment_line(r["env"]))
    print(f"corpus: {r['file']} ({e['mb']:.1f} MB), {e['texts']:,} texts of ~16 KB; "
          f"{e['ids']} ids, {e['bytes_per_token']:.2f} bytes per token"
          + ("; no training: --workdir held records" if t is None else ""))
    print()
    rows = [("measure", "ovilex", "peer", "ratio", "target", "met"), *r["rows"]]
    widths = [max(len(row[i]) for row in rows) for i in range(6)]
    for n, row in enumerate(rows):
        print("| " + " | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                for i, (c, w) in enumerate(zip(row, widths))) + " |")
        if n == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print()
    if t is not None:
        print(f"training: HF made {t['hf_vocab_size']} ids; a peak is the child's ru_maxrss (its "
              f"greatest single process), never below ours at the start, "
              f"{t['parent_kb'] / 1000:.0f} MB")
    if not e["threads_option"]:
        print("encode_batch takes no threads= yet: both ovilex rows ran its default")
    print(f"same ids as tiktoken: sentence {'yes' if e['sentence_same'] else 'NO'}; "
          f"{e['sample_same']} of {e['sample']} sampled texts"
          + ("" if "array_same" not in e else
             f"; encode_batch_array = encode_batch: {'yes' if e['array_same'] else 'NO'}"))
    if e["distinct_bytes"] != e["ids"]:
        print(f"tiktoken ranks: {e['ids'] - e['distinct_bytes']} ids share bytes with another")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure (median)")
    parser.add_argument("--workdir", type=pathlib.Path,
                        help="train ovilex here; if it holds records already, reuse them and "
                        "skip training (default: a temporary directory)")
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build-bench")
    parser.add_argument("--no-build", action="store_true", help="use build-dir as it is")
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    args = parser.parse_args(argv)

    build_dir = args.build_dir.resolve()
    if not args.no_build:
        log(f"bench: building in {build_dir}")
        build(build_dir, [])
        targets = subprocess.run(["cmake", "--build", str(build_dir), "--target", "help"],
                                 capture_output=True, text=True, check=True).stdout
        if "_native:" in targets and subprocess.run(
                ["cmake", "--build", str(build_dir), "--target", "_native"],
                stdout=subprocess.DEVNULL).returncode:
            log("bench: _native did not build; measuring the package without it")
    path = [str(ROOT / "python"), str(build_dir)]
    sys.path[:0] = path
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path)}
    file = corpus.all_file(log=log)
    threads = len(os.sched_getaffinity(0))

    with tempfile.TemporaryDirectory(prefix="ovilex-peers-") as tmp:
        workdir = (args.workdir or pathlib.Path(tmp)).resolve()
        reuse = (workdir / "data" / "merges_record.json").is_file()
        result: dict[str, Any] = {"env": environment(), "file": str(file.relative_to(ROOT))}
        result["train"] = None if reuse else train(file, workdir, env, args.repeat)
        texts = texts_of(file.read_bytes())
        result["encode"] = {"threads": threads, **in_process(workdir, texts, args.repeat, threads)}
    result["rows"] = table(result["train"], result["encode"])
    if args.json:
        print(json.dumps(result, indent=1))
    else:
        report(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
