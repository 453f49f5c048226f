"""The merge list that the encode benchmark applies.

The list is learnt from a sample of the corpus: the first SAMPLE_FRACTION of
every source's text, split into chunks. `_ovilex.encode_train` learns it when
the module has training; until then (NotImplementedError) the pure-Python
trainer below learns it with the same rules. The result is cached as JSON in
bench/corpus/merges.json together with the trainer that made it; a list made
by the Python trainer is learnt again once the module can train.

The Python trainer works on distinct words with their frequencies and keeps,
for every pair, its frequency and the set of words that may hold it, so one
merge touches only the words that contain its pair. The next pair comes from
a heap with lazy deletion: most frequent first, ties to the greater left id,
then the greater right id; a pair below MIN_MERGE_FREQ is never merged, and
new ids are handed out from 256 in order.
"""

from __future__ import annotations

import collections
import heapq
import json
import os
import pathlib
import tempfile
import time
from collections.abc import Iterable

import corpus

MAX_MERGES = 7744
MIN_MERGE_FREQ = 3
FIRST_ID = 256
SAMPLE_FRACTION = 0.15
MERGES_JSON = corpus.CACHE / "merges.json"

Merge = tuple[tuple[int, int], int]


def sample_chunks(texts: dict[str, str]) -> list[str]:
    """The first SAMPLE_FRACTION of each source (cut at a line end), split."""
    chunks: list[str] = []
    for text in texts.values():
        end = text.find("\n", int(len(text) * SAMPLE_FRACTION))
        chunks.extend(corpus.split(text[: len(text) if end < 0 else end + 1]))
    return chunks


def _pair_counts(word: list[int]) -> collections.Counter[tuple[int, int]]:
    return collections.Counter(zip(word, word[1:]))


def _merge_word(word: list[int], left: int, right: int, new: int) -> list[int]:
    """One left-to-right pass; occurrences never overlap."""
    out: list[int] = []
    i, n = 0, len(word)
    while i < n:
        if i + 1 < n and word[i] == left and word[i + 1] == right:
            out.append(new)
            i += 2
        else:
            out.append(word[i])
            i += 1
    return out


def train_python(chunks: Iterable[str], max_merges: int = MAX_MERGES) -> list[Merge]:
    """Learns a merge list from chunks (their UTF-8 bytes as ids)."""
    word_freq = collections.Counter(chunks)
    words = [list(w.encode("utf-8")) for w in word_freq]
    freqs = list(word_freq.values())

    pair_freq: dict[tuple[int, int], int] = collections.defaultdict(int)
    holders: dict[tuple[int, int], set[int]] = collections.defaultdict(set)
    for idx, (word, f) in enumerate(zip(words, freqs)):
        for pair, c in _pair_counts(word).items():
            pair_freq[pair] += c * f
            holders[pair].add(idx)

    # Max-heap through negated keys. A pair below the threshold gets no entry:
    # it can only come back by rising, which pushes a fresh one.
    heap = [(-f, -p[0], -p[1]) for p, f in pair_freq.items() if f >= MIN_MERGE_FREQ]
    heapq.heapify(heap)

    merges: list[Merge] = []
    while len(merges) < max_merges and heap:
        neg_f, neg_l, neg_r = heapq.heappop(heap)
        pair = (-neg_l, -neg_r)
        f = -neg_f
        if pair_freq.get(pair) != f:
            continue  # stale
        if f < MIN_MERGE_FREQ:
            break
        new = FIRST_ID + len(merges)
        changed: set[tuple[int, int]] = set()
        for idx in holders.pop(pair, ()):
            word = words[idx]
            old = _pair_counts(word)
            if pair not in old:
                continue  # the word lost the pair to an earlier merge
            merged = _merge_word(word, pair[0], pair[1], new)
            fresh = _pair_counts(merged)
            wf = freqs[idx]
            for q, c in old.items():
                d = fresh.get(q, 0) - c
                if d:
                    left = pair_freq[q] + d * wf
                    if left:
                        pair_freq[q] = left
                    else:
                        del pair_freq[q]
                    changed.add(q)
            for q, c in fresh.items():
                if q not in old:
                    pair_freq[q] += c * wf
                    holders[q].add(idx)
                    changed.add(q)
            words[idx] = merged
        for q in changed:
            fq = pair_freq.get(q)
            if fq is not None and fq >= MIN_MERGE_FREQ:
                heapq.heappush(heap, (-fq, -q[0], -q[1]))
        merges.append((pair, new))
    return merges


def train_module(chunks: list[str]) -> list[Merge] | None:
    """_ovilex.encode_train in a scratch directory; None while it is not built."""
    import _ovilex

    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="ovilex-bench-") as tmp:
        os.chdir(tmp)
        try:
            merges = _ovilex.encode_train(chunks)
        except NotImplementedError:
            return None
        finally:
            os.chdir(here)
    return [((int(l), int(r)), int(n)) for (l, r), n in merges]


def _load_cached() -> dict | None:
    try:
        data = json.loads(MERGES_JSON.read_text())
    except (OSError, ValueError):
        return None
    if data.get("corpus_version") != corpus.CORPUS_VERSION:
        return None
    if data.get("sample_fraction") != SAMPLE_FRACTION:
        return None
    return data


def merge_list(texts: dict[str, str], trainer: str = "auto", log=print) -> tuple[list[Merge], str]:
    """The benchmark's merge list and the name of the trainer that made it.

    trainer: "auto" (the module if it can train, else Python), "module" or
    "python"; a cached list from the wanted trainer is reused."""
    cached = _load_cached()
    if cached is not None:
        fits = trainer == cached["trainer"] or (
            trainer == "auto" and cached["trainer"] == "encode_train"
        )
        if fits:
            return [((l, r), n) for l, r, n in cached["merges"]], cached["trainer"]

    chunks = sample_chunks(texts)
    sample_mb = sum(len(c.encode("utf-8")) for c in chunks) / corpus.MB
    merges = None
    name = "python"
    if trainer in ("auto", "module"):
        start = time.perf_counter()
        merges = train_module(chunks)
        if merges is not None:
            name = "encode_train"
            log(f"merges: encode_train on {sample_mb:.1f} MB sample: "
                f"{len(merges)} merges in {time.perf_counter() - start:.1f} s")
        elif trainer == "module":
            raise SystemExit("merges: _ovilex.encode_train is not implemented yet")
        else:
            log("merges: encode_train raises NotImplementedError; using the Python trainer")
    if merges is None:
        start = time.perf_counter()
        merges = train_python(chunks)
        log(f"merges: Python trainer on {sample_mb:.1f} MB sample "
            f"({len(set(chunks))} distinct chunks): {len(merges)} merges "
            f"in {time.perf_counter() - start:.1f} s")
    if cached is not None and cached["trainer"] != name:
        same = [((l, r), n) for l, r, n in cached["merges"]] == merges
        log(f"merges: {name} {'agrees' if same else 'DISAGREES'} with the cached "
            f"list of the {cached['trainer']} trainer")

    corpus.CACHE.mkdir(parents=True, exist_ok=True)
    MERGES_JSON.write_text(json.dumps({
        "corpus_version": corpus.CORPUS_VERSION,
        "sample_fraction": SAMPLE_FRACTION,
        "trainer": name,
        "merges": [[l, r, n] for (l, r), n in merges],
    }) + "\n")
    return merges, name


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="Learn (or show the cached) benchmark merge list.")
    parser.add_argument("--trainer", choices=("auto", "module", "python"), default="auto")
    args = parser.parse_args()
    merges, name = merge_list(corpus.load(), trainer=args.trainer)
    print(f"{len(merges)} merges by {name}; first {merges[:3]}, last {merges[-1:]}")
