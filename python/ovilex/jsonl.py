"""JSON lines: a document per line, the string in one field of the line's
JSON object, as ``encode --jsonl`` and ``count-tokens --jsonl`` read them.

Blank lines are skipped. A line that is not UTF-8, not a JSON object, or
without the field as a string is a SourceError naming the file and the line.
"""

from __future__ import annotations

import json
import pathlib
from collections.abc import Iterator
from typing import NamedTuple

from .errors import SourceError

__all__ = ["BATCH_BYTES", "Batch", "batches", "document", "raise_lone_surrogate"]

# Lines of JSON read, parsed and encoded at a time.
BATCH_BYTES = 4 << 20


class Batch(NamedTuple):
    texts: list[str]   # the documents
    lines: list[int]   # the line of each, from 1
    bytes: int         # of the file, the batch's blank lines included


def batches(source: pathlib.Path, field: str) -> Iterator[Batch]:
    """The documents of source, about BATCH_BYTES of lines at a time."""
    line = 0
    with open(source, "rb") as f:
        while raw_lines := f.readlines(BATCH_BYTES):
            batch = Batch([], [], 0)
            for raw in raw_lines:
                line += 1
                text = document(raw, source, line, field)
                if text is not None:
                    batch.texts.append(text)
                    batch.lines.append(line)
            yield batch._replace(bytes=sum(map(len, raw_lines)))


def document(raw: bytes, source: pathlib.Path, line: int, field: str) -> str | None:
    """The document of one line, or None for a blank line."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise SourceError(f"{source}: not UTF-8 text (line {line}, byte 0x{raw[e.start]:02x})"
                          ) from None
    if not text.strip():
        return None
    where = f"{source}, line {line}"
    try:
        value = json.loads(text.rstrip("\r\n"))  # a column past the line is no help
    except json.JSONDecodeError as e:
        raise SourceError(f"{where}: not JSON: {e.msg} (column {e.colno})") from None
    if not isinstance(value, dict):
        raise SourceError(f"{where}: expected a JSON object, found {_kind(value)}")
    if field not in value:
        raise SourceError(f"{where}: no field {json.dumps(field)}")
    document = value[field]
    if not isinstance(document, str):
        raise SourceError(f"{where}: field {json.dumps(field)} holds {_kind(document)}, "
                          "not a string")
    return document


_KINDS = {type(None): "null", bool: "a boolean", int: "a number", float: "a number",
          str: "a string", list: "an array", dict: "an object"}


def _kind(value: object) -> str:
    """What a value of json.loads is, as JSON names it."""
    return _KINDS[type(value)]


def raise_lone_surrogate(texts: list[str], lines: list[int], source: pathlib.Path,
                         field: str) -> None:
    """Raises SourceError for the first text that holds a lone surrogate,
    which a JSON escape may make and no UTF-8 can hold; returns when none
    does."""
    for text, line in zip(texts, lines):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as e:
            raise SourceError(f"{source}, line {line}: field {json.dumps(field)} holds a "
                              f"lone surrogate (U+{ord(text[e.start]):04X})") from None
