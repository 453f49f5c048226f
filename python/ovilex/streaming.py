"""Decoding ids as they come: ``Tokenizer.decoder()``.

A character's bytes may be spread over several tokens, so the text of the
ids received so far can end inside a character. ``StreamDecoder.feed``
returns only whole characters and keeps the bytes of a character cut short
(at most three) for the next call; ``finish`` ends the stream. The text and
the errors are those of ``Tokenizer.decode`` on all the ids fed since the
stream began: feed raises as soon as that decode would raise for a reason
more ids could not mend (an unknown id, bytes that no continuation makes
UTF-8), finish when the stream ends inside a character.
"""

from __future__ import annotations

from typing import Any, Protocol

__all__ = ["StreamDecoder"]

_INVALID = "decoded bytes are not valid UTF-8: "

# The range the second byte of a sequence must fall in, for the leads that
# narrow it (overlong forms, surrogates, code points above U+10FFFF).
_SECOND = {0xE0: (0xA0, 0xBF), 0xED: (0x80, 0x9F), 0xF0: (0x90, 0xBF), 0xF4: (0x80, 0x8F)}


class _Decodes(Protocol):
    def decode_bytes(self, ids: Any, /) -> bytes: ...


def _width(lead: int) -> int:
    """The length of the sequence lead starts; 0 for a byte that starts none
    (a continuation byte, or one never used in UTF-8)."""
    if lead < 0x80:
        return 1
    if 0xC2 <= lead <= 0xDF:
        return 2
    if 0xE0 <= lead <= 0xEF:
        return 3
    if 0xF0 <= lead <= 0xF4:
        return 4
    return 0


def cut_point(data: bytes) -> int:
    """Where data ends in whole characters: the start of a last sequence that
    is cut short but that more bytes could still make valid, else len(data)
    (whole text, or a fault that decoding will report)."""
    n = len(data)
    if n == 0 or data[-1] < 0x80:
        return n
    # The last byte that is not a continuation: a sequence is at most four
    # bytes long, so its lead is one of the last three if it is cut short.
    start = n - 1
    while start > n - 3 and start > 0 and data[start] & 0xC0 == 0x80:
        start -= 1
    if _width(data[start]) <= n - start:
        return n
    # Only continuations follow the lead; the second byte may be narrower.
    lo, hi = _SECOND.get(data[start], (0x80, 0xBF))
    if n - start >= 2 and not lo <= data[start + 1] <= hi:
        return n
    return start


class StreamDecoder:
    """The text of a stream of token ids, given out as whole characters.

    ``feed(ids)`` takes ids as ``Tokenizer.decode`` does (a sequence of ints
    or a buffer of unsigned 16- or 32-bit ids) and returns the characters they
    complete. A feed that raises changes nothing: the decoder stays as it was
    before the call. ``finish()`` returns what is left and makes the decoder
    new again, also when it raises, so that one decoder serves stream after
    stream.
    """

    __slots__ = ("_done", "_pending", "_tokenizer")

    def __init__(self, tokenizer: _Decodes) -> None:
        self._tokenizer = tokenizer
        self._pending = b""  # the bytes of a character cut short
        self._done = 0  # bytes given out as text since the stream began

    def feed(self, ids: Any) -> str:
        """The characters the ids complete. KeyError and TypeError as decode
        raises them; ValueError, with decode's message on every id fed so
        far, for bytes that are not UTF-8 whatever ids follow."""
        data = self._pending + self._tokenizer.decode_bytes(ids)
        cut = cut_point(data)
        try:
            text = data[:cut].decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(_INVALID + self._fault(data)) from None
        self._pending = data[cut:]
        self._done += cut
        return text

    def finish(self) -> str:
        """The rest of the text; ValueError, as decode raises it, when the
        stream ends inside a character. The decoder starts a new stream
        either way."""
        pending, done = self._pending, self._done
        self.reset()
        if pending:
            raise ValueError(f"{_INVALID}incomplete utf-8 byte sequence from index {done}")
        return ""

    def reset(self) -> None:
        """Forgets the stream so far, with any partial character."""
        self._pending = b""
        self._done = 0

    @property
    def pending(self) -> bytes:
        """The bytes of the character cut short that the next ids must end."""
        return self._pending

    def _fault(self, data: bytes) -> str:
        """What is wrong with data, the bytes since the text given out so
        far, counted from the start of the stream. The interpreter's strict
        decoder finds the same fault as decode: the first one, and the
        length of its maximal subpart as end - start."""
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as e:
            if e.reason != "unexpected end of data":
                return (f"invalid utf-8 sequence of {e.end - e.start} bytes from index "
                        f"{self._done + e.start}")
        raise AssertionError(f"bytes cut short taken for a fault: {data!r}")

    def __repr__(self) -> str:
        return f"<StreamDecoder: {self._done} bytes out, {len(self._pending)} held>"
