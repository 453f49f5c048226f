"""The merge list that the encode benchmark applies.

The list is learnt with `_ovilex.encode_train` from a sample of the corpus:
the first SAMPLE_FRACTION of every source's text, split into chunks. It is
cached as JSON in bench/corpus/merges.json.
"""

from __future__ import annotations

import json
import os
import tempfile
import time

import corpus

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


def train_module(chunks: list[str]) -> list[Merge]:
    """_ovilex.encode_train in a scratch directory, so data/ stays out of the tree."""
    import _ovilex

    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="ovilex-bench-") as tmp:
        os.chdir(tmp)
        try:
            merges = _ovilex.encode_train(chunks)
        finally:
            os.chdir(here)
    return [((int(l), int(r)), int(n)) for (l, r), n in merges]


def _load_cached() -> list[Merge] | None:
    try:
        data = json.loads(MERGES_JSON.read_text())
    except (OSError, ValueError):
        return None
    if data.get("corpus_version") != corpus.CORPUS_VERSION:
        return None
    if data.get("sample_fraction") != SAMPLE_FRACTION:
        return None
    return [((l, r), n) for l, r, n in data["merges"]]


def merge_list(texts: dict[str, str], log=print) -> list[Merge]:
    """The benchmark's merge list, from the cache or learnt anew."""
    cached = _load_cached()
    if cached is not None:
        return cached
    chunks = sample_chunks(texts)
    sample_mb = sum(len(c.encode("utf-8")) for c in chunks) / corpus.MB
    start = time.perf_counter()
    merges = train_module(chunks)
    log(f"merges: encode_train on {sample_mb:.1f} MB sample: "
        f"{len(merges)} merges in {time.perf_counter() - start:.1f} s")
    corpus.CACHE.mkdir(parents=True, exist_ok=True)
    MERGES_JSON.write_text(json.dumps({
        "corpus_version": corpus.CORPUS_VERSION,
        "sample_fraction": SAMPLE_FRACTION,
        "merges": [[l, r, n] for (l, r), n in merges],
    }) + "\n")
    return merges


if __name__ == "__main__":
    merges = merge_list(corpus.load())
    print(f"{len(merges)} merges; first {merges[:3]}, last {merges[-1:]}")
