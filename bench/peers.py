"""The peers case of bench/run.py: ovilex beside tiktoken and HF
tokenizers, on its own training and on the published encodings."""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import multiprocessing
import os
import pathlib
import statistics
import sys
import tempfile
import timeit
from collections.abc import Callable
from typing import Any

import corpus
from corpus import MB
from harness import RECORDS, ROOT, Row, child, log, measure, per_call, status_kb, table, yes

SENTENCE = "The quick brown fox jumps over the dog."
GPT2_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
TEXT_BYTES = 16_000
SAMPLE = 200  # texts compared id for id
HF_TRAIN = """
import sys
from tokenizers import Tokenizer, models, pre_tokenizers, trainers
tok = Tokenizer(models.BPE())
tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
trainer = trainers.BpeTrainer(vocab_size=int(sys.argv[2]), min_frequency=3, show_progress=False,
                              initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
tok.train([sys.argv[1]], trainer)
print(tok.get_vocab_size())
"""


def peers_train(file: pathlib.Path, workdir: pathlib.Path, env: dict[str, str],
                repeat: int) -> dict[str, Any]:
    runs: dict[str, list[tuple[float, float, str]]] = {"ovilex": [], "hf": []}
    floor = 0
    for i in range(repeat):  # taking turns, so both see the same swings of load
        log(f"peers: training, run {i + 1} of {repeat}")
        runs["ovilex"].append(child([sys.executable, "-m", "ovilex", "train", str(file),
                                     "--workdir", str(workdir)], env))
        floor = max(floor, status_kb("VmHWM"))
        runs["hf"].append(child([sys.executable, "-c", HF_TRAIN, str(file), "8000"], env))
    out: dict[str, Any] = {"parent_mb": floor * 1024 / MB, "hf_vocab_size": int(runs["hf"][-1][2])}
    for name, rs in runs.items():
        out[f"{name}_seconds"] = statistics.median(r[0] for r in rs)
        out[f"{name}_peak_mb"] = statistics.median(r[1] for r in rs)
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


def peers_encode(workdir: pathlib.Path, texts: list[str], repeat: int,
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
                         "distinct_bytes": len(ranks), "threads": threads}

    def speed(fn: Callable[[], Any], compare: bool = True) -> float:
        return mb / measure(fn, repeat, compare).seconds

    try:
        r["threads_option"] = tok.encode_batch([""], threads=1) is not None
    except TypeError:
        r["threads_option"] = False

    def ov_batch(n: int | None) -> list[list[int]]:
        if r["threads_option"]:
            return tok.encode_batch(texts, threads=n)
        return tok.encode_batch(texts)

    log("peers: encode_batch, all threads, then one")
    r["ovilex_all"] = speed(lambda: ov_batch(None))
    r["tiktoken_all"] = speed(lambda: enc.encode_ordinary_batch(texts, num_threads=threads))
    r["ovilex_one"] = speed(lambda: ov_batch(1))
    r["tiktoken_one"] = speed(lambda: enc.encode_ordinary_batch(texts, num_threads=1))

    log("peers: uint16 arrays")
    array_fn = getattr(tok, "encode_batch_array", None)

    def numpy_batch(n: int) -> list[Any]:
        with concurrent.futures.ThreadPoolExecutor(n) as pool:
            return list(pool.map(enc.encode_to_numpy, texts))

    for name, n in (("one", 1), ("all", None)):
        if array_fn is not None:
            r[f"array_{name}"] = speed(lambda: array_fn(texts, threads=n))
        if hasattr(enc, "encode_to_numpy"):
            r[f"numpy_{name}"] = speed(lambda: numpy_batch(n or threads), compare=False)

    log("peers: one sentence, load")
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


def peers_encode_file(workdir: pathlib.Path, file: pathlib.Path, repeat: int,
                      threads: int) -> dict[str, Any]:
    return peers_encode(workdir, texts_of(file.read_bytes()), repeat, threads)


def peers_rows(t: dict[str, Any] | None, e: dict[str, Any]) -> list[Row]:
    def row(label: str, ours: float | None, peer: float | None, unit: str, ratio: float | None,
            target: str, met: bool | None) -> Row:
        def fmt(v: float | None) -> str:
            return "n/a" if v is None else f"{v:,.{2 if v < 100 else 0}f} {unit}"
        return (label, fmt(ours), "-" if peer is None else fmt(peer),
                "-" if ratio is None else f"{ratio:.3g}x", target or "-",
                "-" if met is None else yes(met))

    rows = [("measure", "ovilex", "peer", "ratio", "target", "met")]
    if t is not None:
        x = t["hf_seconds"] / t["ovilex_seconds"]
        rows.append(row("train: wall (vs HF)", t["ovilex_seconds"], t["hf_seconds"], "s", x,
                        ">= 15x faster", x >= 15))
        f = t["ovilex_peak_mb"] / t["hf_peak_mb"]
        rows.append(row("train: peak RSS (vs HF)", t["ovilex_peak_mb"], t["hf_peak_mb"], "MB", f,
                        "<= 0.25x", f <= 0.25))
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


PUBLISHED = ("cl100k_base", "o200k_base")  # the published encodings with targets
PUBLISHED_BYTES = 8_000_000  # of the corpus's texts, for the slowest peers


def published_ranks(info: dict[str, Any]) -> dict[bytes, int]:
    """tiktoken's ranks from the compact bpe_ranks of an npm JSON file."""
    import base64
    ranks = {}
    for line in filter(None, info["bpe_ranks"].split("\n")):
        _, first, *tokens = line.split(" ")
        for rank, token in enumerate(tokens, int(first)):
            ranks[base64.b64decode(token)] = rank
    return ranks


def peers_published(file: pathlib.Path, repeat: int, threads: int) -> dict[str, Any]:
    """Per published encoding: ovilex's from_tiktoken beside tiktoken on the
    same ranks, then the same ranks as tokenizer.json files in ovilex and HF
    tokenizers."""
    import tiktoken
    import tokenizers
    from ovilex import Tokenizer, importing
    encoders = pathlib.Path(os.environ.get("OVILEX_ENCODERS_DIR", "/var/cache/ovilex/encoders"))
    texts, size = [], 0
    for t in texts_of(file.read_bytes()):
        if size >= PUBLISHED_BYTES:
            break
        texts.append(t)
        size += len(t.encode("utf-8"))
    mb = size / MB
    out: dict[str, Any] = {"mb": mb, "texts": len(texts), "threads": threads, "missing": []}
    for name in PUBLISHED:
        path = encoders / f"{name}.json"
        if not path.is_file():
            out["missing"].append(str(path))
            continue
        log(f"peers: {name}")
        info = json.loads(path.read_text())
        ranks = published_ranks(info)

        def tiktoken_load() -> Any:
            return tiktoken.Encoding(name, pat_str=info["pat_str"], mergeable_ranks=ranks,
                                     special_tokens=info["special_tokens"])
        enc, tok = tiktoken_load(), Tokenizer.from_tiktoken(path)
        r: dict[str, Any] = {
            "load_ms": min(timeit.repeat(lambda: Tokenizer.from_tiktoken(path), number=1,
                                         repeat=repeat + 2)) * 1e3,
            "tiktoken_load_ms": min(timeit.repeat(tiktoken_load, number=1,
                                                  repeat=repeat + 2)) * 1e3}

        def speed(fn: Callable[[], Any]) -> float:
            return mb / measure(fn, repeat, compare=False).seconds
        r["tiktoken_one"] = speed(lambda: [enc.encode_ordinary(t) for t in texts])
        r["encode_one"] = speed(lambda: [tok.encode(t) for t in texts])
        r["array_one"] = speed(lambda: tok.encode_batch_array(texts, threads=1))
        r["tiktoken_all"] = speed(lambda: enc.encode_ordinary_batch(texts, num_threads=threads))
        r["batch_all"] = speed(lambda: tok.encode_batch(texts, threads=threads))
        ours = tok.encode_batch(texts)
        r["same"] = sum(a == enc.encode_ordinary(t) for a, t in zip(ours, texts))
        # The same ranks as tokenizer.json files of the two shapes published
        # ones have: Llama 3's (Split by the pattern, then ByteLevel) and
        # Qwen 2's (the same with one digit a number, after NFC).
        qwen = Tokenizer(**{**importing.tiktoken_arguments(path, pattern="qwen2"),
                            "normalizer": "nfc"})
        for shape, source in (("llama3", tok), ("qwen2", qwen)):
            with tempfile.TemporaryDirectory(prefix="ovilex-hf-") as tmp:
                hf_path = pathlib.Path(tmp) / "tokenizer.json"
                source.save_hf(hf_path)
                hf = tokenizers.Tokenizer.from_file(str(hf_path))
                ours_hf = Tokenizer.from_hf(hf_path)
            r[f"hf_{shape}"] = speed(lambda: hf.encode_batch(texts, add_special_tokens=False))
            r[f"ours_{shape}"] = speed(lambda: ours_hf.encode_batch(texts, threads=threads))
            theirs = hf.encode_batch(texts, add_special_tokens=False)
            r[f"same_{shape}"] = sum(a == e.ids for a, e in zip(ours_hf.encode_batch(texts), theirs))
        out[name] = r
    return out


def published_rows(p: dict[str, Any]) -> list[Row]:
    rows = [("measure", "ovilex", "peer", "ratio", "target", "met")]
    n = p["threads"]
    for name in PUBLISHED:
        if name not in p:
            continue
        r = p[name]
        for label, ours, peer, unit, goal in (
                ("load", r["load_ms"], r["tiktoken_load_ms"], "ms", 5),
                ("encode, 1 thread (vs encode_ordinary)", r["encode_one"], r["tiktoken_one"],
                 "MB/s", 15),
                ("array, 1 thread (vs encode_ordinary)", r["array_one"], r["tiktoken_one"],
                 "MB/s", 25),
                (f"encode_batch, {n} threads (vs tiktoken's)", r["batch_all"], r["tiktoken_all"],
                 "MB/s", 15),
                (f"Llama-3-shaped tokenizer.json: encode_batch, {n} threads (vs HF)",
                 r["ours_llama3"], r["hf_llama3"], "MB/s", 20),
                (f"Qwen-2-shaped tokenizer.json: encode_batch, {n} threads (vs HF)",
                 r["ours_qwen2"], r["hf_qwen2"], "MB/s", 20)):
            x = peer / ours if unit == "ms" else ours / peer
            rows.append((f"{name}: {label}", f"{ours:,.{2 if ours < 100 else 0}f} {unit}",
                         f"{peer:,.{2 if peer < 100 else 0}f} {unit}", f"{x:.3g}x",
                         f">= {goal}x" + (" faster" if unit == "ms" else ""), yes(x >= goal)))
    return rows


def case_peers(args: argparse.Namespace) -> bool:
    file = corpus.all_file()
    with tempfile.TemporaryDirectory(prefix="ovilex-peers-") as tmp:
        workdir = (args.workdir or pathlib.Path(tmp)).resolve()
        reuse = (workdir / "data" / RECORDS[0]).is_file()
        if not reuse:
            log("peers: training once, for the records that encoding uses")
            child([sys.executable, "-m", "ovilex", "train", str(file), "--workdir", str(workdir)],
                  args.env)
        # Encoding comes first, in a process of its own. The host slows the
        # cores down after sustained load on both (182 to 157 MB/s on the
        # uint16 row after 40 s), which HF's training runs would cause; and
        # the texts would raise the floor of the training children's peaks.
        spawn = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=spawn) as pool:
            e = pool.submit(peers_encode_file, workdir, file, args.repeat,
                            len(os.sched_getaffinity(0))).result()
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=spawn) as pool:
            p = pool.submit(peers_published, file, args.repeat,
                            len(os.sched_getaffinity(0))).result()
        t = None if reuse else peers_train(file, workdir, args.env, args.repeat)
    print(f"corpus: {file.relative_to(ROOT)} ({e['mb']:.1f} MB), {e['texts']:,} texts of ~16 KB; "
          f"{e['ids']} ids, {e['bytes_per_token']:.2f} bytes per token"
          + ("; no training: --workdir held records" if t is None else ""))
    print()
    table(peers_rows(t, e))
    if t is not None:
        print(f"training: HF made {t['hf_vocab_size']} ids; a peak is the child's ru_maxrss (its "
              f"greatest single process), never below ours at the start, "
              f"{t['parent_mb']:.0f} MB")
    if not e["threads_option"]:
        print("encode_batch takes no threads= yet: both ovilex rows ran its default")
    print(f"same ids as tiktoken: sentence {yes(e['sentence_same'])}; "
          f"{e['sample_same']} of {e['sample']} sampled texts"
          + ("" if "array_same" not in e else
             f"; encode_batch_array = encode_batch: {yes(e['array_same'])}"))
    if e["distinct_bytes"] != e["ids"]:
        print(f"tiktoken ranks: {e['ids'] - e['distinct_bytes']} ids share bytes with another")
    print()
    print(f"published encodings, from the npm JSON files: {p['mb']:.1f} MB of the corpus, "
          f"{p['texts']:,} texts")
    print()
    table(published_rows(p))
    same = True
    for name in PUBLISHED:
        if name in p:
            r = p[name]
            same = same and r["same"] == r["same_llama3"] == r["same_qwen2"] == p["texts"]
            print(f"{name}: the same ids as tiktoken on {r['same']} of {p['texts']} texts; as "
                  f"tokenizer.json, as HF tokenizers on {r['same_llama3']} (Llama-3-shaped) and "
                  f"{r['same_qwen2']} (Qwen-2-shaped)")
    for path in p["missing"]:
        print(f"no {path}: run tools/fetch-encoders")
    return same
