"""Token shards for language-model pretraining.

``write_shards(paths, out_dir, ...)`` writes, for every input file NAME.ext,
its token ids as flat little-endian uint16 to ``out_dir/NAME.bin`` or, when
an id of the tokenizer is above 65535, as uint32 to ``out_dir/NAME.bin32``;
and ``out_dir/NAME.idx``: the end of every document, in tokens, as
little-endian uint64. Document i holds the ids ``bin[idx[i - 1]:idx[i]]``,
with 0 before the first. docs/formats.md describes the files.

By default a file is one document: it is read in blocks, encoded natively
on several threads and written as it goes (``Tokenizer.write_shards``), so
memory follows the block size, never the file. With ``jsonl_field``, every
line of a file is a JSON object and the string in that field a document;
lines are parsed here and encoded in batches (``encode_batch_array``).

Every output is written under a temporary name beside it and renamed only
once all of them are complete: an error or an interruption leaves no file
under an output's name, and no temporary file. The data file of the other
width, left by an earlier run, is removed once the new one is in place.
"""

from __future__ import annotations

import pathlib
from array import array
from collections.abc import Callable, Iterable
from typing import NamedTuple

from . import _native, cluster
from .errors import OvilexError
from .jsonl import batches
from .shard_files import DATA_SUFFIXES, Targets, encode_documents, stage
from .sources import Source, path_list
from .staging import staging
from .tokenizer import Tokenizer

__all__ = ["DATA_SUFFIXES", "Progress", "Shard", "id_typecode", "write_shards"]


class Progress(NamedTuple):
    """How far one file has got: reported as its blocks are written, and
    once more, done, when its shard is complete."""

    file: str
    bytes_done: int
    bytes_total: int
    tokens: int
    done: bool


class Shard(NamedTuple):
    """A shard written: bin is its data file, NAME.bin or NAME.bin32."""

    source: pathlib.Path
    bin: pathlib.Path
    idx: pathlib.Path
    documents: int
    tokens: int


def id_typecode(tok: Tokenizer) -> str:
    """The array typecode of tok's ids in shards: "H" (uint16) when every id
    of tok, special tokens included, is below 65536, "I" (uint32) otherwise,
    as the native arrays choose it."""
    return tok.encode_array("").typecode


def write_shards(paths: Iterable[Source], out_dir: Source, *,
                 tokenizer: Tokenizer | None = None, workdir: Source | None = None,
                 jsonl_field: str | None = None, eot: int | str | None = None,
                 threads: int | None = None,
                 progress: Callable[[Progress], None] | None = None,
                 dask: str | None = None) -> list[Shard]:
    """Writes the shards of the UTF-8 files at paths into out_dir (created
    if missing) and returns what each holds.

    The ids are those of ``tokenizer``, or of the tokenizer trained in
    ``workdir`` (one of the two). ``jsonl_field``: take one document from
    that field of every line's JSON object (blank lines are skipped) rather
    than the whole file. ``eot``: a token written after every document, an id
    or a special token's text.
    ``threads``: encoding threads (default: every usable processor).
    ``progress`` is called with a Progress along the way. ``dask``: the
    address of a Dask scheduler whose workers encode the files, in pieces,
    instead of local threads (see ovilex.cluster); the shards are the same.

    Raises OvilexError, before anything is written, for two paths with the
    same NAME, a directory among them, an eot that is no token, or an
    out_dir that cannot be made; FileNotFoundError and other OSErrors for
    files that cannot be read or written, or an earlier data file of the
    other width that cannot be removed; SourceError for a file that is not
    UTF-8, or a JSON line without a string in the field (naming the line).
    """
    tok = _tokenizer(tokenizer, workdir)
    sources = [pathlib.Path(p) for p in path_list(paths)]
    out = pathlib.Path(out_dir)
    typecode = id_typecode(tok)
    targets = _targets(sources, out, typecode)
    sizes = [_size(source) for source in sources]
    if eot is not None:
        eot = _eot_id(tok, eot)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise OvilexError(f"cannot use {out} as the output directory: {e.strerror}") from None

    def report(job: int, done: int, tokens: int, complete: bool) -> None:
        if progress is not None:
            progress(Progress(str(sources[job]), done, sizes[job], tokens, complete))

    if jsonl_field is None:
        # Files are read in pieces, cut at the safe cuts of the tokenizer's
        # split pattern (locally and on a cluster alike).
        _native.check_read_in_pieces(tok, "write_shards")
    if dask is not None:
        with cluster.connect(dask) as client:
            written = cluster.write_shards(client, tok, typecode, sources, targets, sizes,
                                           jsonl_field, eot, report)
        return [Shard(s, t.bin, t.idx, documents, tokens)
                for s, t, (documents, tokens) in zip(sources, targets, written)]
    if jsonl_field is not None:
        return _write_jsonl(tok, typecode, sources, targets, jsonl_field, eot, threads, report)
    tokens = [0] * len(sources)

    def count(job: int, done: int, n: int, complete: bool) -> None:
        tokens[job] = n
        report(job, done, n, complete)

    # The native writer picks the same width as id_typecode.
    tok.write_shards([(s, *t) for s, t in zip(sources, targets)], eot=eot, threads=threads,
                     progress=count)
    return [Shard(s, t.bin, t.idx, 1, n) for s, t, n in zip(sources, targets, tokens)]


def _tokenizer(tokenizer: Tokenizer | None, workdir: Source | None) -> Tokenizer:
    if tokenizer is not None and workdir is None:
        return tokenizer
    if tokenizer is None and workdir is not None:
        return Tokenizer.load(workdir)
    raise TypeError("write_shards() takes one of tokenizer and workdir")


def _targets(sources: list[pathlib.Path], out: pathlib.Path, typecode: str) -> list[Targets]:
    """The files in out of every source NAME.ext, for ids of typecode;
    OvilexError when two sources share a NAME."""
    suffix = DATA_SUFFIXES[typecode]
    other, = (s for s in DATA_SUFFIXES.values() if s != suffix)
    first: dict[str, pathlib.Path] = {}
    targets = []
    for source in sources:
        name = source.stem
        if name in first:
            raise OvilexError(f"{first[name]} and {source} would both be written to "
                              f"{out / name}{suffix} and .idx")
        first[name] = source
        targets.append(Targets(out / f"{name}{suffix}", out / f"{name}.idx",
                               out / f"{name}{other}"))
    return targets


def _size(source: pathlib.Path) -> int:
    info = source.stat()  # FileNotFoundError names the file
    if source.is_dir():
        raise OvilexError(f"{source} is a directory, not a text file")
    return info.st_size


def _eot_id(tok: Tokenizer, eot: int | str) -> int:
    if isinstance(eot, str):
        specials = tok.special_tokens
        if eot not in specials:
            known = ", ".join(map(repr, specials)) if specials else "none"
            raise OvilexError(f"end-of-text token {eot!r} is not a special token of the "
                              f"tokenizer (its special tokens: {known})")
        return specials[eot]
    if type(eot) is not int:
        raise TypeError(f"eot must be an int or a str, not {type(eot).__name__}")
    try:
        tok.id_to_bytes(eot)
    except KeyError:
        raise OvilexError(f"end-of-text id {eot} is not in the vocabulary "
                          f"({tok.vocab_size} ids)") from None
    return eot


# ----------------------------------------------------------------------
# JSON lines

def _write_jsonl(tok: Tokenizer, typecode: str, sources: list[pathlib.Path],
                 targets: list[Targets], field: str, eot: int | None,
                 threads: int | None, report: Callable[[int, int, int, bool], None]
                 ) -> list[Shard]:
    shards: list[Shard] = []
    with staging() as staged:
        for job, (source, target) in enumerate(zip(sources, targets)):
            bin_file, idx_file = stage(staged, target)
            documents = tokens = done = 0
            for batch in batches(source, field):
                done += batch.bytes
                ids, ends = encode_documents(tok, typecode, batch.texts, batch.lines, source,
                                             field, eot, threads)
                bin_file.write(ids)
                idx_file.write(array("Q", (tokens + end for end in ends)))
                documents += len(batch.texts)
                tokens += len(ids)
                report(job, done, tokens, False)
            bin_file.finish()
            idx_file.finish()
            report(job, done, tokens, True)
            shards.append(Shard(source, target.bin, target.idx, documents, tokens))
    return shards
