"""The tokenizer: a merge list and a vocabulary, with the pre-splitting of
``ovilex.split`` in front of the native ``_ovilex`` functions."""

from __future__ import annotations

import os
import pathlib
from bisect import bisect_left
from collections.abc import Iterable, Mapping, Sequence
from itertools import accumulate, repeat
from typing import Any

from .errors import RecordError, SourceError
from .records import MERGES_RECORD, RECORD_DIR, VOCAB_LIST, read_merges_record, read_vocab_list
from .sources import Source, count_chunks, read_source
from .split import split

__all__ = ["Merge", "Tokenizer"]

Merge = tuple[tuple[int, int], int]
"""One merge as ``_ovilex`` takes and returns it: ((left, right), new)."""


def _native() -> Any:
    # Imported on first use, so that ovilex.split works without the built
    # extension module.
    import _ovilex

    return _ovilex


def _problem(merges: Sequence[Merge], vocab: Mapping[int, bytes],
             where: str) -> tuple[int, str] | None:
    """The first merge that does not fit the vocabulary (called where in the
    message): its index and what is wrong with it."""
    for index, ((left, right), new) in enumerate(merges):
        for token_id in (left, right, new):
            if token_id not in vocab:
                return index, f"id {token_id} is not in {where}"
        if vocab[new] != vocab[left] + vocab[right]:
            return index, (f"expected the bytes of id {new} in {where} to be those of ids "
                           f"{left} and {right} joined, found {list(vocab[new])}")
    return None


class Tokenizer:
    """A byte-level BPE tokenizer: an ordered merge list and the vocabulary
    (the bytes of every token id).

    Text goes through ``ovilex.split`` first; the merges never cross the
    boundary between two chunks. Make one with ``Tokenizer.train``, with
    ``Tokenizer.load`` from the record files of an earlier training, or
    directly from a merge list and a vocabulary. A Tokenizer does not change
    after it is made and holds no other state.
    """

    __slots__ = ("_merges", "_vocab", "_lengths")

    def __init__(self, merges: Iterable[Merge], vocab: Mapping[int, bytes]) -> None:
        """merges: ((left, right), new) ids, applied in this order. vocab:
        token id -> its bytes, with ids 0 to 255 standing for their single
        bytes and every merge's new id for the bytes of left and right
        joined. Raises ValueError (TypeError for values of the wrong type)
        when they do not fit."""
        self._merges: list[Merge] = []
        for merge in merges:
            (left, right), new = merge
            ids = (left, right, new)
            if not all(type(x) is int for x in ids):
                raise TypeError(f"a merge must hold three ints, found {merge!r}")
            if not all(0 <= x <= 0xFFFF for x in ids):
                raise ValueError(f"a merge must hold ids 0 to 65535, found {merge!r}")
            self._merges.append(((left, right), new))
        self._vocab: dict[int, bytes] = {}
        for token_id, value in vocab.items():
            if type(token_id) is not int or not isinstance(value, bytes):
                raise TypeError(f"the vocabulary must map ints to bytes, found "
                                f"{token_id!r}: {value!r}")
            if not 0 <= token_id <= 0xFFFF or not value:
                raise ValueError(f"the vocabulary must map ids 0 to 65535 to one or more "
                                 f"bytes, found {token_id!r}: {value!r}")
            self._vocab[token_id] = bytes(value)
        for byte in range(256):
            if self._vocab.get(byte) != bytes([byte]):
                raise ValueError(f"the vocabulary must map id {byte} to the single byte {byte}")
        problem = _problem(self._merges, self._vocab, "the vocabulary")
        if problem is not None:
            index, message = problem
            raise ValueError(f"merge {index} {self._merges[index]}: {message}")
        # Byte length of every id, for cutting a flat id list by text.
        lengths = [0] * (max(self._vocab) + 1)
        for token_id, value in self._vocab.items():
            lengths[token_id] = len(value)
        self._lengths = lengths

    # ------------------------------------------------------------------
    # Making one

    @classmethod
    def train(cls, sources: Iterable[Source], *, workdir: str | os.PathLike[str],
              processes: int = 1) -> Tokenizer:
        """Learns merges from sources and returns the tokenizer.

        sources: texts and files. A ``str`` is always text; an
        ``os.PathLike`` (such as ``pathlib.Path``) is a UTF-8 text file to
        read. Files are read one at a time. processes > 1 splits in that
        many worker processes (worth it for tens of megabytes; the result is
        the same).

        The record files land in ``workdir/data`` (created if missing,
        overwritten if present): ``_ovilex.encode_train`` writes them into
        ``data/`` of the current directory, so this changes the current
        directory to workdir for the native call and then restores it. The
        current directory belongs to the whole process: do not train from
        two threads at once, and do not rely on relative paths in other
        threads while one trains.

        Raises FileNotFoundError and other OSErrors for files that cannot be
        read or records that cannot be written, SourceError for a file that
        is not UTF-8 or sources without any text, TypeError for a source
        that is neither.
        """
        if isinstance(sources, (str, bytes)):
            raise TypeError("sources must be an iterable of texts and paths, not a single "
                            f"{type(sources).__name__}")

        def texts() -> Iterable[tuple[str, int]]:
            for source in sources:
                if isinstance(source, str):
                    yield source, len(source)
                elif isinstance(source, os.PathLike):
                    text = read_source(source)
                    yield text, len(text)
                else:
                    raise TypeError("a source must be a str (text) or an os.PathLike (file), "
                                    f"found {type(source).__name__}")

        return cls.train_counts(count_chunks(texts(), processes), workdir=workdir)

    @classmethod
    def train_chunks(cls, chunks: Sequence[str], *,
                     workdir: str | os.PathLike[str]) -> Tokenizer:
        """Learns merges from chunks that are already split (see train for
        workdir and the current directory). The merges depend only on the
        multiset of chunks, not on their order."""
        if not any(chunks):
            raise SourceError("no text to train on")
        workdir = pathlib.Path(workdir)
        try:
            workdir.mkdir(parents=True, exist_ok=True)
            back = os.open(".", os.O_RDONLY | os.O_DIRECTORY)
        except OSError as e:
            raise OSError(f"cannot use {workdir} as the working directory: {e.strerror}") from e
        try:
            os.chdir(workdir)
            try:
                _native().encode_train(chunks)
            except OSError as e:
                raise OSError(f"in {workdir}: {e}") from e
            finally:
                # Back by descriptor: works even if the old directory was renamed.
                os.fchdir(back)
        finally:
            os.close(back)
        return cls.load(workdir)

    @classmethod
    def train_counts(cls, counts: Mapping[str, int], *,
                     workdir: str | os.PathLike[str]) -> Tokenizer:
        """Learns merges from chunks and how often each occurs (a Counter of
        chunks, as ovilex.sources.count_chunks makes it); the same as
        train_chunks on a list that holds every chunk that often."""
        chunks: list[str] = []
        for chunk, count in counts.items():
            chunks.extend(repeat(chunk, count))
        return cls.train_chunks(chunks, workdir=workdir)

    @classmethod
    def load(cls, workdir: str | os.PathLike[str]) -> Tokenizer:
        """The tokenizer of an earlier training in workdir: reads
        ``workdir/data/merges_record.json`` and ``workdir/data/vocab_list.json``.
        Raises RecordError, naming the file and the line, when a file is
        missing or does not hold what training writes."""
        data = pathlib.Path(workdir) / RECORD_DIR
        merges_path = data / MERGES_RECORD
        merges = read_merges_record(merges_path)
        vocab = read_vocab_list(data / VOCAB_LIST)
        problem = _problem([merge for _, merge in merges], vocab, str(data / VOCAB_LIST))
        if problem is not None:
            index, message = problem
            raise RecordError(f"{merges_path}, line {merges[index][0]}: {message}")
        return cls([merge for _, merge in merges], vocab)

    # ------------------------------------------------------------------
    # Using one

    @property
    def vocab_size(self) -> int:
        """The number of token ids in the vocabulary."""
        return len(self._vocab)

    @property
    def merges(self) -> list[Merge]:
        """A copy of the merge list, in the order the merges are applied."""
        return list(self._merges)

    def id_to_bytes(self, token_id: int) -> bytes:
        """The bytes that token_id stands for; KeyError "unknown token id N"
        for an id outside the vocabulary."""
        try:
            return self._vocab[token_id]
        except KeyError:
            raise KeyError(f"unknown token id {token_id}") from None

    def encode(self, text: str) -> list[int]:
        """The token ids of text: ``split(text)``, each chunk encoded with
        the merges."""
        return _native().encode(split(text), self._merges)

    def encode_batch(self, texts: Iterable[str]) -> list[list[int]]:
        """``[self.encode(t) for t in texts]``, in one native call."""
        texts = list(texts)
        chunks = [chunk for text in texts for chunk in split(text)]
        ids = _native().encode(chunks, self._merges)
        return self._cut(ids, [len(text.encode("utf-8")) for text in texts])

    def encode_chunks(self, chunks: Sequence[str]) -> list[list[int]]:
        """The token ids of every chunk of a text that is already split, one
        list per chunk, in one native call."""
        ids = _native().encode(chunks, self._merges)
        return self._cut(ids, [len(chunk.encode("utf-8")) for chunk in chunks])

    def decode(self, ids: Sequence[int]) -> str:
        """The text of token ids. Raises KeyError "unknown token id N in
        vocab_list" for an id outside the vocabulary and ValueError when the
        bytes of the ids do not make UTF-8 text (the native module's
        messages)."""
        return _native().decode_string(ids, self._vocab)

    def __repr__(self) -> str:
        return f"<Tokenizer: {len(self._merges)} merges, {len(self._vocab)} ids>"

    def _cut(self, ids: list[int], sizes: list[int]) -> list[list[int]]:
        """ids cut into one list per text of the given UTF-8 sizes. No token
        crosses a chunk boundary, so the running byte count of the ids
        meets every text's end exactly; every token has one byte or more,
        so the running count rises strictly."""
        ends = list(accumulate(map(self._lengths.__getitem__, ids)))
        out: list[list[int]] = []
        start = 0
        position = 0
        for size in sizes:
            if size:
                position += size
                stop = bisect_left(ends, position, start) + 1
            else:
                stop = start
            out.append(ids[start:stop])
            start = stop
        return out

