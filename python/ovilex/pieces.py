"""Files cut into pieces that can be split, counted and encoded apart, for
the cluster's tasks (ovilex.cluster).

The index-th piece of a file holds the bytes between the cuts nearest
before index * span and (index + 1) * span. A cut is a position where the
file may be cut: for text, the last position before the nominal end at
which splitting the two sides apart under the tokenizer's split pattern
gives the chunks of the whole (``_native.last_safe_cut``; for a tokenizer that
normalizes text, one where the two sides also normalize apart); for JSON lines,
the last line end. The pieces on either side of a cut find it alike, each
from the file alone. A piece without such a position in its nominal span
joins the next one.

A file is one text: under a tokenizer with ``prefix_space`` only its first
piece takes the space (``inside_tokenizer`` encodes the others), and a cut
near the file's start holds with that space before it.
"""

from __future__ import annotations

from typing import Any, NamedTuple

from . import _native
from .errors import SourceError
from .tokenizer import Tokenizer

__all__ = ["CONTEXT", "WINDOW", "Piece", "PieceFault", "inside_tokenizer", "line_of",
           "not_utf8", "pieces", "read_piece"]

# Bytes looked at, at a time, going back from a piece's nominal end for a
# place to cut, and the context read before them.
WINDOW = 64 << 10
CONTEXT = 16


class Piece(NamedTuple):
    """The index-th piece of the file at path: the bytes between the cuts
    nearest before index * span and (index + 1) * span."""

    path: str
    index: int
    span: int
    size: int
    lines: bool  # cut at line ends (JSON lines) rather than between chunks
    pattern: str = "ovilex"  # the split pattern of the text's safe cuts
    prefix_space: bool = False  # the text takes a space before it
    normalizer: str | None = None  # the text's, before it is split (see Tokenizer)


def pieces(path: str, size: int, span: int, lines: bool = False,
           tok: Tokenizer | None = None) -> list[Piece]:
    """The pieces of the file, cut where tok (None: ovilex's own way) may
    cut its text; check_read_in_pieces of tok is the caller's."""
    count = max(1, -(-size // span))
    pattern = "ovilex" if tok is None else tok.pattern
    prefix_space = tok is not None and tok.prefix_space
    normalizer = None if tok is None else tok.normalizer
    return [Piece(path, i, span, size, lines, pattern, prefix_space, normalizer)
            for i in range(count)]


def inside_tokenizer(tok: Tokenizer) -> Tokenizer:
    """The tokenizer of a piece past a text's start: tok itself, or for one
    with prefix_space, the same without it."""
    if not tok.prefix_space:
        return tok
    merges = None if tok.merging == "token_rank" else tok.merges
    return type(tok)(merges, tok.vocab, tok.special_tokens, pattern=tok.pattern,
                     merging=tok.merging, whole_chunks=tok.whole_chunks, prefix_space=False,
                     normalizer=tok.normalizer)


def _cut_before(f: Any, boundary: int, piece: Piece) -> int | None:
    """The greatest position p, boundary - span < p < boundary, at which the
    file may be cut (lines: just after a line feed); None when there is
    none. Looks back a window at a time."""
    low = boundary - piece.span
    start = boundary
    while start > low:
        # A code point cut off at the end of the window is whole in the next.
        high = min(boundary, start + (1 if piece.lines else 4))
        start = max(low, start - WINDOW)
        cut = _line_cut(f, start, high) if piece.lines else _text_cut(f, start, high, piece)
        if cut is not None:
            return cut
    return None


def _line_cut(f: Any, start: int, high: int) -> int | None:
    """The greatest p, start < p < high, just after a line feed."""
    f.seek(start)
    at = f.read(high - 1 - start).rfind(b"\n")
    return start + at + 1 if at >= 0 else None


def _text_cut(f: Any, start: int, high: int, piece: Piece) -> int | None:
    """The last safe cut after start and before high, looked for in a window
    with its context; None for none, or where the window is not UTF-8."""
    begin = max(0, start - CONTEXT)
    f.seek(begin)
    window = f.read(high - begin)
    skip = 0
    if begin > 0:
        while skip < 3 and skip < len(window) and window[skip] & 0xC0 == 0x80:
            skip += 1
    window = window[skip:]
    if not _utf8_but_the_end(window):
        return None
    floor = max(0, start - begin - skip)
    cut = _native.last_safe_cut(window, floor, pattern=piece.pattern,
                                text_start=begin == 0 and piece.prefix_space,
                                normalizer=piece.normalizer)
    return begin + skip + cut if cut else None


def _utf8_but_the_end(data: bytes) -> bool:
    """Whether data is UTF-8, but for a code point cut short at its end."""
    for trim in range(4):
        try:
            data[:len(data) - trim].decode("utf-8")
            return True
        except UnicodeDecodeError:
            continue
    return False


def _bounds(f: Any, piece: Piece) -> tuple[int, int] | None:
    """Where the piece starts and ends, or None when it joins the next."""
    if piece.index == 0:
        start = 0
    else:
        found = _cut_before(f, piece.index * piece.span, piece)
        if found is None:
            return None
        start = found
    end = piece.size
    j = piece.index + 1
    while j * piece.span < piece.size:
        found = _cut_before(f, j * piece.span, piece)
        if found is not None:
            end = found
            break
        j += 1
    return start, end


class PieceFault(Exception):
    """A fault of the input found in a piece of the file_index-th file,
    where only the client can name the line: bytes that are not UTF-8 at
    offset, or (JSON lines, line > 0) a bad document on the line-th line of
    the piece that starts at offset. Faults order as their places in the
    input."""

    def __init__(self, path: str, file_index: int, offset: int, line: int = 0) -> None:
        super().__init__(path, file_index, offset, line)
        self.path, self.file_index, self.offset, self.line = path, file_index, offset, line

    def place(self) -> tuple[int, int, int]:
        return self.file_index, self.offset, self.line


def read_piece(piece: Piece) -> tuple[int, bytes] | None:
    """The piece's start in the file and its bytes; None when it joins the
    next piece."""
    with open(piece.path, "rb") as f:
        bounds = _bounds(f, piece)
        if bounds is None:
            return None
        start, end = bounds
        f.seek(start)
        return start, f.read(end - start)


def line_of(path: str, offset: int) -> int:
    """The line, from 1, of the byte at offset in the file."""
    lines = 1
    with open(path, "rb") as f:
        done = 0
        while done < offset:
            block = f.read(min(4 << 20, offset - done))
            if not block:
                break
            lines += block.count(b"\n")
            done += len(block)
    return lines


def not_utf8(fault: PieceFault) -> SourceError:
    """The error of the local run for bytes that are not UTF-8."""
    with open(fault.path, "rb") as f:
        f.seek(fault.offset)
        byte = f.read(1)[0]
    return SourceError(f"{fault.path}: not UTF-8 text (line {line_of(fault.path, fault.offset)}, "
                       f"byte 0x{byte:02x})")
