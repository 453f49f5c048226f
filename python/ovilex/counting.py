"""Count files: the distinct chunks of text and how often each occurs, on disk.

Training needs only the multiset of chunks, so text can be counted in
separate runs, one count file each (``count_files``), the files summed in
one streaming pass (``merge_count_files``) and trained on
(``Tokenizer.train_count_files``), with the merges of training on all the
text at once. Each function is a pure function of its inputs and writes its
output through a temporary file beside it, so that it can run as a task of
its own.

The format, version 1, every number little-endian::

    offset  bytes  field
    0       8      magic: 89 4F 56 58 43 4E 54 0A (b"\\x89OVXCNT\\n")
    8       4      format version, u32: 1
    12      8      distinct chunks, u64: the number of entries
    20      8      total chunks, u64: the sum of the counts
    28      8      size of the entries in bytes, u64
    36      ...    one entry per distinct chunk: u32 length in bytes,
                   the chunk (UTF-8), u64 count (1 or more)
    last 8         end marker: the magic reversed

Entries are sorted by the chunk's bytes (unsigned), each chunk once. A file
that is shorter than its header says, disagrees with it, is out of order or
lacks the end marker raises ``CountFileError`` naming the file::

    PATH: not an ovilex count file
    PATH: count file format version N; this ovilex reads version 1
    PATH: truncated count file
    PATH: damaged count file (WHAT)
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable

from . import _native, cluster
from ._native import WordCounts
from .sources import path_list

__all__ = ["count_files", "count_text_files", "merge_count_files"]

StrPath = str | os.PathLike[str]


def count_text_files(paths: Iterable[StrPath], *, threads: int | None = None,
                     errors: str = "strict", progress: Callable[[int], None] | None = None,
                     dask: str | None = None) -> tuple[WordCounts, str]:
    """The counts of the UTF-8 text files at paths, each split on its own as
    training splits them: on up to ``threads`` threads (default: every
    usable processor), or on the workers of the Dask scheduler at address
    ``dask`` (see ovilex.cluster); and where they were counted, as "2
    threads" or "Dask, 4 workers". ``errors`` as bytes.decode takes it;
    ``progress(bytes)`` follows the reading.

    Raises OSError for a file that cannot be read, SourceError for a file
    that is not UTF-8 text (errors="strict")."""
    names = path_list(paths)
    if dask is None:
        counts = WordCounts()
        counts.add_files(names, threads=threads, progress=progress, errors=errors)
        n = threads or _native.usable_processors()
        return counts, f"{n} thread{'s' if n > 1 else ''}"
    with cluster.connect(dask) as client:
        workers = len(client.nthreads())
        counts = cluster.count_files(client, names, errors=errors, progress=progress)
    return counts, f"Dask, {workers} workers"


def count_files(paths: Iterable[StrPath], out: StrPath, *,
                threads: int | None = None, dask: str | None = None) -> WordCounts:
    """Counts the chunks of UTF-8 text files, each split on its own as
    training splits them, on up to ``threads`` threads (default: every
    usable processor), or on the workers of the Dask scheduler at address
    ``dask`` (see ovilex.cluster), writes the count file ``out`` and
    returns the counts.

    Raises OSError for a file that cannot be read or an ``out`` that cannot
    be written, SourceError for a file that is not UTF-8 text."""
    counts, _ = count_text_files(paths, threads=threads, dask=dask)
    counts.save(out)
    return counts


def merge_count_files(paths: Iterable[StrPath], out: StrPath) -> None:
    """Writes the sum of the count files ``paths`` to the count file ``out``
    (which may be one of them), reading each once with one entry of each in
    memory. Raises OSError and CountFileError as ``WordCounts.add_count_files``
    does."""
    WordCounts.merge_count_files(path_list(paths), out)
