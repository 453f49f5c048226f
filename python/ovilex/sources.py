"""Training sources: reading text files and counting their chunks.

A training corpus is counted, not kept: what training needs is the multiset
of chunks, so the text of each source is split and its chunks are added to a
``collections.Counter`` as soon as it has been read. Splitting can run in
worker processes: a large text is cut into pieces at line feeds where the
chunks are the same whether the text is split whole or piece by piece
(``split.pieces``), and each worker counts the chunks of one piece.
"""

from __future__ import annotations

import multiprocessing
import os
import pathlib
import sysconfig
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait

from .errors import SourceError
from .split import SPLIT_PATTERN, pieces

__all__ = ["Source", "count_chunks", "default_files", "read_source", "usable_processors"]

Source = str | os.PathLike[str]

# Characters per piece handed to a worker process.
PIECE_SIZE = 1 << 20


def read_source(path: str | os.PathLike[str], errors: str = "strict") -> str:
    """The text of a UTF-8 file. With errors="strict", bytes that are not
    UTF-8 raise SourceError naming the file, the line and the byte; with
    errors="replace" they become U+FFFD. OSError (FileNotFoundError,
    IsADirectoryError, PermissionError...) passes through."""
    raw = pathlib.Path(path).read_bytes()
    try:
        return raw.decode("utf-8", errors=errors)
    except UnicodeDecodeError as e:
        line = raw.count(b"\n", 0, e.start) + 1
        raise SourceError(f"{os.fspath(path)}: not UTF-8 text "
                          f"(line {line}, byte 0x{raw[e.start]:02x})") from None


def default_files() -> list[pathlib.Path]:
    """The built-in corpus: the Python sources of the running interpreter's
    standard library (installed third-party packages left out), sorted."""
    stdlib = pathlib.Path(sysconfig.get_path("stdlib"))
    skip = {"site-packages", "dist-packages"}
    return sorted(p for p in stdlib.rglob("*.py") if skip.isdisjoint(p.parts) and p.is_file())


def usable_processors() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _count_piece(piece: str) -> Counter[str]:
    return Counter(SPLIT_PATTERN.findall(piece))


def count_chunks(
    texts: Iterable[tuple[str, int]],
    processes: int = 1,
    progress: Callable[[int], None] | None = None,
) -> Counter[str]:
    """The chunks of all texts, counted. texts yields (text, weight) pairs,
    read lazily; progress, if given, is called with the weight of every text
    once its chunks are counted (a share of it per piece), so a caller can
    pass byte sizes and show progress in bytes. With processes > 1 the
    pieces are split in that many worker processes; the counts are the same
    either way."""
    counts: Counter[str] = Counter()
    if processes <= 1:
        for text, weight in texts:
            counts.update(SPLIT_PATTERN.findall(text))
            if progress is not None:
                progress(weight)
        return counts

    def shares(text: str, weight: int) -> Iterator[tuple[str, int]]:
        parts = pieces(text, PIECE_SIZE)
        given = 0
        for i, part in enumerate(parts, start=1):
            share = weight * i // len(parts) - given
            given += share
            yield part, share

    # forkserver: no copy of the caller's threads or locks in the workers.
    context = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(max_workers=processes, mp_context=context) as pool:
        pending: dict[Future[Counter[str]], int] = {}

        def collect(done: Iterable[Future[Counter[str]]]) -> None:
            for future in done:
                counts.update(future.result())
                share = pending.pop(future)
                if progress is not None:
                    progress(share)

        try:
            for text, weight in texts:
                for part, share in shares(text, weight):
                    pending[pool.submit(_count_piece, part)] = share
                    if len(pending) >= 2 * processes:
                        done, _ = wait(pending, return_when=FIRST_COMPLETED)
                        collect(done)
            while pending:
                done, _ = wait(pending, return_when=FIRST_COMPLETED)
                collect(done)
        except BaseException:
            for future in pending:
                future.cancel()
            raise
    return counts
