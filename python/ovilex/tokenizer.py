"""The tokenizer: a merge list and a vocabulary, compiled natively.

``Tokenizer`` is the native ``ovilex._native.Tokenizer`` with the ways to
make one: from a merge list and a vocabulary, from the record files of an
earlier training (``load``), or by training (``train``, ``train_chunks``,
``train_counts``, ``train_count_files``). Encoding and decoding run natively: ``encode``,
``encode_batch``, ``encode_array``, ``encode_batch_array``, ``encode_chunks``,
``count``, ``count_batch``, ``count_in_files``, ``decode``,
``decode_bytes``, ``decoder``, ``id_to_bytes``, ``vocab_size``, ``merges``, ``vocab``.
Special tokens (``special_tokens``) are texts with ids of their own above the
learned ones, made by training or given to the constructor; ``encode`` and its
kin turn their text into their ids only where ``allowed_special`` says so.
Tokenizers trained by other libraries come in with those libraries' ids
(``from_hf``, ``from_tiktoken``; see ovilex.importing).
"""

from __future__ import annotations

import functools
import os
import pathlib
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, NamedTuple

from . import _native, export, importing
from .errors import SourceError
from .patterns import split_rules
from .records import MERGES_RECORD, RECORD_DIR, SPECIAL_TOKENS, VOCAB_LIST
from .sources import Source, path_list
from .streaming import StreamDecoder

__all__ = ["Merge", "Tokenizer", "Training", "WordCounts"]

Merge = tuple[tuple[int, int], int]
"""One merge as ``_ovilex`` takes and returns it: ((left, right), new)."""

WordCounts = _native.WordCounts


DEFAULT_VOCAB_SIZE: int = _native.DEFAULT_VOCAB_SIZE
DEFAULT_MIN_FREQUENCY: int = _native.DEFAULT_MIN_FREQUENCY


class Training(NamedTuple):
    """What a training may make: vocab_size learned ids (the 256 bytes and
    the merges), each merge of a pair seen at least min_frequency times, no
    learned token longer than max_token_length bytes (None: no limit), and
    the special tokens' texts, whose ids follow the learned ones."""
    vocab_size: int = DEFAULT_VOCAB_SIZE
    min_frequency: int = DEFAULT_MIN_FREQUENCY
    max_token_length: int | None = None
    special_tokens: tuple[str, ...] = ()

    @classmethod
    def checked(cls, special_tokens: Iterable[str] | None = None, *,
                vocab_size: int = DEFAULT_VOCAB_SIZE,
                min_frequency: int = DEFAULT_MIN_FREQUENCY,
                max_token_length: int | None = None) -> Training:
        """The settings, checked as the native training checks them, before
        any work: TypeError or ValueError for a setting out of range, or
        special tokens that are not str, empty, given twice, or more than
        the ids left above the learned ones."""
        specials = _native.check_training(vocab_size=vocab_size, min_frequency=min_frequency,
                                          max_token_length=max_token_length,
                                          special_tokens=special_tokens)
        return cls(vocab_size, min_frequency, max_token_length, tuple(specials))


def train_checked(cls: type[Tokenizer], counts: WordCounts, workdir: str | os.PathLike[str],
                  check: bool, training: Training = Training()) -> Any:
    """cls trained on counts in workdir (see Tokenizer.train_counts) as
    training allows, with its special tokens after the learned ids. With
    check, (tokenizer, (tokens, bytes, ok)): the merge loop's final ids of
    every distinct chunk decoded back to it, weighted by the counts, and
    the encoder checked against those ids on a sample."""
    # Empty chunks count, but are no text.
    if counts.distinct == 0 or (counts.distinct == 1 and "" in counts.to_dict()):
        raise SourceError("no text to train on")
    workdir = pathlib.Path(workdir)
    try:
        workdir.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise OSError(f"cannot use {workdir} as the working directory: {e.strerror}") from e
    return _native.train(cls, counts, workdir, check=check,
                         special_tokens=training.special_tokens, vocab_size=training.vocab_size,
                         min_frequency=training.min_frequency,
                         max_token_length=training.max_token_length)


class Tokenizer(_native.Tokenizer):
    """A byte-level BPE tokenizer: an ordered merge list and the vocabulary
    (the bytes of every token id), compiled for encoding text and decoding
    ids.

    Text is cut into chunks by ``ovilex.split`` first; the merges never
    cross the boundary between two chunks. Encoding keeps a cache from chunk
    to ids, shared by all threads; a Tokenizer does not change otherwise, and
    may be used from many threads at once. ``encode_batch`` and
    ``encode_batch_array`` spread long inputs over native threads with the
    interpreter lock released.
    """

    __slots__ = ()

    def __new__(cls, merges: Iterable[Merge] | None, vocab: Mapping[int, bytes],
                special_tokens: Mapping[str, int] | None = None, *, pattern: str | None = None,
                merging: str = "list", whole_chunks: bool = False,
                prefix_space: bool = False, normalizer: str | None = None) -> Tokenizer:
        """merges: ((left, right), new) ids, applied in this order. vocab:
        token id -> its bytes, with ids 0 to 255 standing for their single
        bytes and every merge's new id for the bytes of left and right
        joined. special_tokens: text -> id, non-empty texts with distinct
        ids that vocab does not hold. Ids are 0 to 4294967294 (2**32 - 2).
        Raises ValueError (TypeError for values of the wrong type) when they
        do not fit; the native constructor checks them all.

        The rest say how text is encoded, ovilex's own way by default; the
        imports (from_hf, from_tiktoken) set them to the source library's.
        pattern: the split pattern, "ovilex" (None), "gpt2", "cl100k",
        "llama3", "qwen2" or "o200k", by name or as a published regular
        expression (ovilex.patterns.pattern_name); any other regular
        expression, whose matches are the chunks as tiktoken finds them, or
        a tuple of split steps, both run by PCRE2 (ovilex.patterns.split_rules).
        merging:
        "list", the merges applied in list order; or by rank, the adjacent
        pair of lowest rank first, the leftmost of equals, with a pair's
        rank its place in merges ("merge_rank", Hugging Face's BPE) or the id
        of its joined bytes ("token_rank", tiktoken; merges None: the list
        its ranks make, see ovilex.importing). Merging by rank takes any ids
        for the bytes, one each. whole_chunks: a chunk that is a token is
        taken whole first (by rank only). prefix_space: a space goes before
        each stretch of text that does not begin with one. normalizer: None,
        or "nfc": each stretch of text (the text, or one between allowed
        special tokens, which are found in the text as given) is put in
        Unicode's NFC before the space and the splitting
        (``ovilex._native.NFC_UNICODE_VERSION``); decoding gives the
        normalized text."""
        return super().__new__(cls, merges, vocab, special_tokens,
                               pattern=split_rules(pattern), merging=merging,
                               whole_chunks=whole_chunks, prefix_space=prefix_space,
                               normalizer=normalizer)

    def __reduce__(self) -> tuple[Any, ...]:
        rules = {"pattern": self.pattern, "merging": self.merging,
                 "whole_chunks": self.whole_chunks, "prefix_space": self.prefix_space,
                 "normalizer": self.normalizer}
        return (functools.partial(type(self), **rules),
                (self.merges, self.vocab, self.special_tokens))

    # ------------------------------------------------------------------
    # Making one

    @classmethod
    def train(cls, sources: Iterable[Source], *, workdir: str | os.PathLike[str],
              threads: int | None = None, processes: int | None = None,
              special_tokens: Iterable[str] | None = None,
              vocab_size: int = DEFAULT_VOCAB_SIZE, min_frequency: int = DEFAULT_MIN_FREQUENCY,
              max_token_length: int | None = None) -> Tokenizer:
        """Learns merges from sources and returns the tokenizer.

        sources: texts and files. A ``str`` is always text; an
        ``os.PathLike`` (such as ``pathlib.Path``) is a UTF-8 text file,
        read in blocks. Each source is split on its own and its chunks are
        counted natively on up to ``threads`` threads (default: every usable
        processor; ``processes`` is the older name of the same setting); the
        merges are the same for any number.

        The record files land in ``workdir/data`` (created if missing;
        the files are replaced together or not at all).

        ``vocab_size``: the learned ids, the 256 bytes and the merges (fewer
        when the text runs out of pairs); ``min_frequency``: no pair seen
        fewer times is merged; ``max_token_length``: no learned token is
        longer than that many bytes (None: no limit). The merges of a
        larger vocab_size begin with those of a smaller one.

        ``special_tokens``: texts that get ids of their own, in the order
        given, from one above the greatest learned id on; they are kept in
        ``workdir/data/special_tokens.json``.

        These settings are the same for every training method, and checked
        before any work: TypeError or ValueError for a setting out of range,
        or a special token that is not a str, empty, given twice, or more
        of them than ids left.

        Raises FileNotFoundError and other OSErrors for files that cannot be
        read or records that cannot be written, SourceError for a file that
        is not UTF-8 or sources without any text, TypeError for a source
        that is neither.
        """
        if isinstance(sources, (str, bytes)):
            raise TypeError("sources must be an iterable of texts and paths, not a single "
                            f"{type(sources).__name__}")
        texts: list[str] = []
        paths: list[str] = []
        for source in sources:
            if isinstance(source, str):
                texts.append(source)
            elif isinstance(source, os.PathLike):
                paths.append(os.fspath(source))
            else:
                raise TypeError("a source must be a str (text) or an os.PathLike (file), "
                                f"found {type(source).__name__}")
        threads = threads if threads is not None else processes
        training = Training.checked(special_tokens, vocab_size=vocab_size,
                                    min_frequency=min_frequency, max_token_length=max_token_length)
        counts = WordCounts()
        counts.add_texts(texts, threads=threads)
        counts.add_files(paths, threads=threads)
        return train_checked(cls, counts, workdir, check=False, training=training)

    @classmethod
    def train_chunks(cls, chunks: Sequence[str], *, workdir: str | os.PathLike[str],
                     special_tokens: Iterable[str] | None = None,
                     vocab_size: int = DEFAULT_VOCAB_SIZE,
                     min_frequency: int = DEFAULT_MIN_FREQUENCY,
                     max_token_length: int | None = None) -> Tokenizer:
        """Learns merges from chunks that are already split (see train for
        workdir and the settings). The merges depend only on the multiset
        of chunks, not on their order."""
        training = Training.checked(special_tokens, vocab_size=vocab_size,
                                    min_frequency=min_frequency, max_token_length=max_token_length)
        counts = WordCounts()
        counts.add_chunks(chunks)
        return train_checked(cls, counts, workdir, check=False, training=training)

    @classmethod
    def train_counts(cls, counts: WordCounts | Mapping[str, int], *,
                     workdir: str | os.PathLike[str],
                     special_tokens: Iterable[str] | None = None,
                     vocab_size: int = DEFAULT_VOCAB_SIZE,
                     min_frequency: int = DEFAULT_MIN_FREQUENCY,
                     max_token_length: int | None = None) -> Tokenizer:
        """Learns merges from chunks and how often each occurs: a
        WordCounts, or a mapping such as a Counter of chunks; the same as
        train_chunks on a list that holds every chunk that often."""
        training = Training.checked(special_tokens, vocab_size=vocab_size,
                                    min_frequency=min_frequency, max_token_length=max_token_length)
        if not isinstance(counts, WordCounts):
            native = WordCounts()
            for chunk, count in counts.items():
                native.add(chunk, count)
            counts = native
        return train_checked(cls, counts, workdir, check=False, training=training)

    @classmethod
    def train_count_files(cls, count_files: Iterable[str | os.PathLike[str]], *,
                          workdir: str | os.PathLike[str],
                          special_tokens: Iterable[str] | None = None,
                          vocab_size: int = DEFAULT_VOCAB_SIZE,
                          min_frequency: int = DEFAULT_MIN_FREQUENCY,
                          max_token_length: int | None = None) -> Tokenizer:
        """Learns merges from the sum of count files (see ovilex.counting):
        the same merges as training on all the text they were counted from
        (see train for the settings). Raises OSError and CountFileError for
        files that cannot be read or are not whole count files, SourceError
        when they hold no text."""
        training = Training.checked(special_tokens, vocab_size=vocab_size,
                                    min_frequency=min_frequency, max_token_length=max_token_length)
        counts = WordCounts()
        counts.add_count_files(path_list(count_files))
        return train_checked(cls, counts, workdir, check=False, training=training)

    @classmethod
    def load(cls, workdir: str | os.PathLike[str]) -> Tokenizer:
        """The tokenizer of an earlier training in workdir: reads
        ``workdir/data/merges_record.json`` and ``workdir/data/vocab_list.json``,
        and ``workdir/data/special_tokens.json`` when there is one. Raises
        RecordError, naming the file and the line, when a file is missing or
        does not hold what training writes."""
        data = pathlib.Path(workdir) / RECORD_DIR
        return _native.load_records(cls, str(data / MERGES_RECORD), str(data / VOCAB_LIST),
                                    str(data / SPECIAL_TOKENS))

    @classmethod
    def from_hf(cls, path: str | os.PathLike[str]) -> Tokenizer:
        """The byte-level BPE tokenizer of a Hugging Face tokenizers
        tokenizer.json, with its ids: encode gives those of the library's
        ``encode(text, add_special_tokens=False)``, and its added tokens are
        special tokens. Merges by rank, as the library does. Raises
        ovilex.importing.TokenizerFileError (an OvilexError) naming what
        ovilex cannot reproduce; see ovilex.importing."""
        return importing.from_hf(cls, path)

    @classmethod
    def from_tiktoken(cls, path: str | os.PathLike[str], pattern: str | None = None,
                      special_tokens: Mapping[str, int] | None = None) -> Tokenizer:
        """The tokenizer of a tiktoken rank file (``BASE64 RANK`` per line,
        or the JSON form of the npm package tiktoken, told apart by content)
        split by pattern (by name or as tiktoken spells it, natively, or any
        other regular expression through PCRE2; ValueError for one refused,
        see ovilex.patterns.split_rules), with its ranks as ids: encode gives
        those of ``Encoding.encode_ordinary``. pattern and special_tokens
        default to the JSON file's pat_str and special_tokens, or to those
        of PATH.json beside a .tiktoken file, which save_tiktoken writes.
        Raises ovilex.importing.TokenizerFileError for a file it cannot
        use."""
        return importing.from_tiktoken(cls, path, pattern, special_tokens)

    # ------------------------------------------------------------------

    def decoder(self) -> StreamDecoder:
        """A decoder for ids that come a few at a time (see
        ovilex.streaming): feed(ids) returns the whole characters so far,
        finish() ends the stream."""
        return StreamDecoder(self)

    # ------------------------------------------------------------------
    # Other libraries (see ovilex.export)

    def save_hf(self, path: str | os.PathLike[str]) -> None:
        """Writes a tokenizer.json that Hugging Face tokenizers loads with
        the same ids and text (``tokenizers.Tokenizer.from_file``)."""
        export.save_hf(self, path)

    def to_tiktoken(self, name: str = "ovilex") -> Any:
        """A ``tiktoken.Encoding`` with the same ids: ``encode_ordinary``
        gives ``encode``'s, ``encode(text, allowed_special="all")`` those of
        ``encode(text, allowed_special="all")``."""
        return export.to_tiktoken(self, name)

    def save_tiktoken(self, path: str | os.PathLike[str], name: str = "ovilex") -> None:
        """Writes tiktoken's rank file to path and the rest of the encoding
        (name, pattern, special tokens) to PATH.json."""
        export.save_tiktoken(self, path, name)

    def __repr__(self) -> str:
        return f"<Tokenizer: {len(self.merges)} merges, {self.vocab_size} ids>"
