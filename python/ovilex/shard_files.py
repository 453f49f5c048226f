"""The files of one shard and the ids that go into them, shared by the
local writer (ovilex.shards) and the cluster's (ovilex.cluster).
docs/formats.md describes the files."""

from __future__ import annotations

import pathlib
from array import array
from typing import NamedTuple

from .jsonl import raise_lone_surrogate
from .staging import Stale, Staged
from .tokenizer import Tokenizer

__all__ = ["DATA_SUFFIXES", "Targets", "encode_documents", "stage"]

# The data file's suffix for each array typecode of the ids: uint16 ids
# keep the name readers have always read, and uint32 ids go to another, so
# that no reader of uint16 takes them for its own.
DATA_SUFFIXES = {"H": ".bin", "I": ".bin32"}


class Targets(NamedTuple):
    """The files of one shard: its data file and index, and the data file of
    the other width, removed once they are in place."""

    bin: pathlib.Path
    idx: pathlib.Path
    other: pathlib.Path


def stage(staged: list[Staged | Stale], targets: Targets) -> tuple[Staged, Staged]:
    """Adds to staged the data file and index of a shard, each as soon as it
    is made (so that a failure to make the next discards it), then the other
    width's data file; returns the first two."""
    staged.append(Staged(targets.bin))
    staged.append(Staged(targets.idx))
    staged.append(Stale(targets.other))
    return staged[-3], staged[-2]


def encode_documents(tok: Tokenizer, typecode: str, texts: list[str], numbers: list[int],
                     source: pathlib.Path, field: str, eot: int | None, threads: int | None
                     ) -> tuple[array, list[int]]:
    """The ids of the texts joined, each followed by eot if given, as an
    array of typecode, and the end of each in them."""
    try:
        ids, offsets = tok.encode_batch_array(texts, threads=threads)
    except UnicodeEncodeError:
        raise_lone_surrogate(texts, numbers, source, field)
        raise
    if ids.typecode != typecode:
        ids = array(typecode, ids)
    if eot is None:
        return ids, list(offsets[1:])
    joined = array(typecode)
    for i in range(len(texts)):
        joined.extend(ids[offsets[i]:offsets[i + 1]])
        joined.append(eot)
    return joined, [end + i + 1 for i, end in enumerate(offsets[1:])]
