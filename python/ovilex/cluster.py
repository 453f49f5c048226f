"""Counting and encoding on a Dask distributed cluster.

The work is cut into pieces of about ``PIECE_BYTES`` of one file, one task
each, and the results are the same bytes as those of the local run:

- counting: a task splits and counts its piece and returns the counts as a
  count file's bytes (see ovilex.counting); the workers sum them in a tree,
  ``FAN_IN`` at a time, and the client receives the sum. Training then runs
  the merge loop on the client.
- encoding: a task encodes its piece and returns its ids as the shards'
  little-endian bytes, uint16 or uint32 (and, for JSON lines, the end of
  every document); the client writes them to the shards in order, a bounded
  number of pieces ahead.

The workers read the input files at the paths the client names, so they
must see the same files there (a shared file system, as Dask clusters
usually have), and run the same ovilex. Tasks are pure functions of their
piece: when a worker dies, the scheduler runs its tasks again elsewhere and
the results do not change.

Where a piece ends is ovilex.pieces' rule.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import sys
import tempfile
from array import array
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from .errors import OvilexError, SourceError
from .jsonl import document
from .pieces import Piece, PieceFault, inside_tokenizer, line_of, not_utf8, pieces, read_piece
from .shard_files import Targets, encode_documents, stage
from .staging import staging
from .tokenizer import Tokenizer, WordCounts

__all__ = ["FAN_IN", "PIECE_BYTES", "connect", "count_files", "write_shards"]

PIECE_BYTES = 64 << 20
FAN_IN = 8


# ----------------------------------------------------------------------
# The cluster


@contextlib.contextmanager
def connect(address: str) -> Iterator[Any]:
    """A distributed.Client of the scheduler at address, with at least one
    worker, closed on leaving. OvilexError, in one line, when distributed
    is not installed, the scheduler cannot be reached within Dask's connect
    timeout (``distributed.comm.timeouts.connect``) or has no worker."""
    try:
        import dask
        from distributed import Client
    except ImportError:
        raise OvilexError("--dask needs the Python package distributed "
                          "(Debian: python3-distributed)") from None
    timeout = dask.config.get("distributed.comm.timeouts.connect")
    try:
        client = Client(address, timeout=timeout, set_as_default=False)
    except (OSError, TimeoutError, ValueError, TypeError) as e:
        raise OvilexError(f"cannot reach the Dask scheduler at {address}: "
                          f"{_first_line(e)}") from None
    try:
        try:
            client.wait_for_workers(1, timeout=timeout)
        except (OSError, TimeoutError) as e:
            raise OvilexError(f"the Dask scheduler at {address} has no workers "
                              f"({_first_line(e)})") from None
        yield client
    finally:
        client.close()


def _first_line(e: BaseException) -> str:
    text = str(e).strip() or type(e).__name__
    return text.splitlines()[0]


# ----------------------------------------------------------------------
# Counting


def _count_piece(piece: Piece, file_index: int, errors: str) -> bytes | PieceFault:
    """The counts of the piece as a count file's bytes, or its fault."""
    counts = WordCounts()
    read = read_piece(piece)
    if read is not None:
        start, data = read
        try:
            text = data.decode("utf-8", errors)
        except UnicodeDecodeError as e:
            return PieceFault(piece.path, file_index, start + e.start)
        counts.add_texts([text], threads=1)
    with tempfile.TemporaryDirectory(prefix="ovilex-") as scratch:
        out = os.path.join(scratch, "counts")
        counts.save(out)
        return pathlib.Path(out).read_bytes()


def _merge_counts(*parts: bytes | PieceFault) -> bytes | PieceFault:
    """The sum of count files' bytes, or the first fault among them."""
    faults = [part for part in parts if isinstance(part, PieceFault)]
    if faults:
        return min(faults, key=PieceFault.place)
    with tempfile.TemporaryDirectory(prefix="ovilex-") as scratch:
        paths = []
        for i, part in enumerate(parts):
            assert isinstance(part, bytes)
            paths.append(os.path.join(scratch, f"part{i}"))
            pathlib.Path(paths[-1]).write_bytes(part)
        out = os.path.join(scratch, "sum")
        WordCounts.merge_count_files(paths, out)
        return pathlib.Path(out).read_bytes()


def count_files(client: Any, paths: Sequence[str], *, errors: str = "strict",
                span: int | None = None,
                progress: Callable[[int], None] | None = None) -> WordCounts:
    """The counts of the UTF-8 files at paths, each split on its own, counted
    on the cluster: the same as WordCounts.add_files. progress(bytes) follows
    every piece counted; span is the pieces' size (default PIECE_BYTES).
    Raises SourceError for bytes that are not UTF-8
    (naming the file, line and byte of the first), OSError for a file that
    a worker cannot read."""
    from distributed import as_completed

    work: list[tuple[Piece, int]] = []
    for file_index, path in enumerate(paths):
        size = os.stat(path).st_size
        work += [(piece, file_index) for piece in pieces(path, size, span or PIECE_BYTES)]
    level = client.map(_count_piece, *zip(*work), errors=errors, pure=False)
    spans = {leaf.key: _nominal(piece) for leaf, (piece, _) in zip(level, work)}
    counted = as_completed(level, loop=client.loop)
    # Only the root is held from here on, so that the workers drop every
    # sum once the next level has taken it.
    while len(level) > 1:
        level = [client.submit(_merge_counts, *level[i:i + FAN_IN], pure=False)
                 for i in range(0, len(level), FAN_IN)]
    for leaf in counted:
        if progress is not None:
            progress(spans.pop(leaf.key))
    del leaf, counted
    total = level[0].result()
    if isinstance(total, PieceFault):
        raise not_utf8(total)
    counts = WordCounts()
    with tempfile.TemporaryDirectory(prefix="ovilex-") as scratch:
        path = os.path.join(scratch, "counts")
        pathlib.Path(path).write_bytes(total)
        del total
        counts.add_count_files([path])
    return counts


def _nominal(piece: Piece) -> int:
    """The bytes of the piece's nominal span."""
    return min(piece.size, (piece.index + 1) * piece.span) - piece.index * piece.span


# ----------------------------------------------------------------------
# Encoding


def _encode_piece(tok: Tokenizer, inside: Tokenizer, typecode: str, piece: Piece,
                  field: str | None, eot: int | None) -> tuple[bytes, list[int] | None]:
    """The ids of the piece as little-endian bytes of an array of typecode;
    for JSON lines also the end of every document in them (eot follows
    each). A piece of text past the file's start is encoded by inside
    (inside_tokenizer of tok). Raises PieceFault for a fault of the input."""
    read = read_piece(piece)
    if read is None:
        return b"", [] if field is not None else None
    start, data = read
    if field is None:
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise PieceFault(piece.path, 0, start + e.start) from None
        return _little_endian((tok if start == 0 else inside).encode_array(text), typecode), None
    source = pathlib.Path(piece.path)
    texts, numbers = [], []
    for line, raw in enumerate(_lines(data), 1):
        try:
            text = document(raw, source, line, field)
        except SourceError:
            raise PieceFault(piece.path, 0, start, line) from None
        if text is not None:
            texts.append(text)
            numbers.append(line)
    try:
        ids, ends = encode_documents(tok, typecode, texts, numbers, source, field, eot, 1)
    except SourceError:
        line = next(n for t, n in zip(texts, numbers) if not _is_utf8(t))
        raise PieceFault(piece.path, 0, start, line) from None
    return _little_endian(ids, typecode), ends


def _lines(data: bytes) -> Iterator[bytes]:
    """The lines of data, each with its line feed, as a file reads them."""
    begin = 0
    while begin < len(data):
        end = data.find(b"\n", begin) + 1 or len(data)
        yield data[begin:end]
        begin = end


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _little_endian(ids: array, typecode: str) -> bytes:
    if ids.typecode != typecode or sys.byteorder != "little":
        ids = array(typecode, ids)
    if sys.byteorder != "little":
        ids.byteswap()
    return ids.tobytes()


def _line_fault(fault: PieceFault, tok: Tokenizer, field: str) -> SourceError:
    """The error of the local run for the bad line of a piece: that line
    read again and encoded here."""
    line = line_of(fault.path, fault.offset) - 1 + fault.line
    with open(fault.path, "rb") as f:
        f.seek(fault.offset)
        for _ in range(fault.line):
            raw = f.readline()
    source = pathlib.Path(fault.path)
    try:
        text = document(raw, source, line, field)
        if text is not None:
            encode_documents(tok, "I", [text], [line], source, field, None, 1)  # its error
    except SourceError as e:
        return e
    raise AssertionError(f"{source}, line {line} failed on the cluster only")


def _same(value: Any) -> Any:
    return value


def write_shards(client: Any, tok: Tokenizer, typecode: str, sources: Sequence[pathlib.Path],
                 targets: Sequence[Targets], sizes: Sequence[int],
                 field: str | None, eot: int | None,
                 report: Callable[[int, int, int, bool], None],
                 span: int | None = None) -> list[tuple[int, int]]:
    """Encodes the sources on the cluster into their targets, ids as arrays
    of typecode, staged and renamed as ovilex.shards does, and returns
    (documents, tokens) of each.
    report(job, bytes, tokens, done) follows every piece written; span is
    the pieces' size (default PIECE_BYTES)."""
    span = span or PIECE_BYTES
    # A task, not scattered data: the scheduler can make it again on another
    # worker if every worker holding it dies.
    shared = client.submit(_same, tok, pure=False)
    inside = client.submit(inside_tokenizer, shared, pure=False) if tok.prefix_space else shared
    ahead = 2 * max(1, sum(client.nthreads().values()))
    written: list[tuple[int, int]] = []
    with staging() as staged:
        for job, (source, target, size) in enumerate(zip(sources, targets, sizes)):
            bin_file, idx_file = stage(staged, target)
            work = iter(pieces(os.fspath(source), size, span, field is not None, tok))
            running: deque[tuple[Piece, Any]] = deque()

            def submit() -> None:
                piece = next(work, None)
                if piece is not None:
                    running.append((piece, client.submit(_encode_piece, shared, inside, typecode,
                                                         piece, field, eot, pure=False)))

            for _ in range(ahead):
                submit()
            documents = tokens = done = 0
            while running:
                piece, future = running.popleft()
                submit()
                try:
                    data, ends = future.result()
                except PieceFault as fault:
                    raise (_line_fault(fault, tok, field or "") if fault.line
                           else not_utf8(fault)) from None
                ids = array(typecode)
                ids.frombytes(data)
                if sys.byteorder != "little":
                    ids.byteswap()
                bin_file.write(ids)
                if ends is not None:
                    idx_file.write(array("Q", (tokens + end for end in ends)))
                    documents += len(ends)
                tokens += len(ids)
                done += _nominal(piece)
                report(job, done, tokens, False)
            if field is None:
                if eot is not None:
                    bin_file.write(array(typecode, [eot]))
                    tokens += 1
                idx_file.write(array("Q", [tokens]))
                documents = 1
            bin_file.finish()
            idx_file.finish()
            report(job, size, tokens, True)
            written.append((documents, tokens))
    return written
