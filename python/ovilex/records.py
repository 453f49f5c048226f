"""Reading the record files that training leaves in ``WORKDIR/data``.

``merges_record.json`` holds the merge list in the order it was learnt and
``vocab_list.json`` the bytes of every token id, in ascending id order. Both
are JSON arrays written one entry per line::

    [
      {"pair":[104,101],"id":256},
      {"pair":[256,108],"id":257}
    ]

    [
      {"id":0,"bytes":[0]},
      ...
      {"id":257,"bytes":[104,101,108]}
    ]

The reader takes them line by line, so that an error can name the line: the
first line is ``[``, then one entry per line, each but the last followed by
a comma, then ``]``. Spaces around an entry and a line feed after the
closing bracket are allowed.
"""

from __future__ import annotations

import json
import os
import pathlib
from collections.abc import Callable
from typing import TypeVar

from .errors import RecordError

__all__ = [
    "MERGES_RECORD",
    "RECORD_DIR",
    "VOCAB_LIST",
    "read_merges_record",
    "read_vocab_list",
]

RECORD_DIR = "data"
MERGES_RECORD = "merges_record.json"
VOCAB_LIST = "vocab_list.json"

MAX_ID = 0xFFFF
MERGE_ENTRY = '{"pair":[LEFT,RIGHT],"id":ID} with ids 0 to 65535'
VOCAB_ENTRY = '{"id":ID,"bytes":[BYTE,...]} with an id 0 to 65535 and one or more bytes 0 to 255'

T = TypeVar("T")
Merge = tuple[tuple[int, int], int]


def _number(value: object, limit: int) -> int | None:
    """value if it is a JSON integer in 0..limit (not a bool, not a float)."""
    if type(value) is int and 0 <= value <= limit:
        return value
    return None


def _merge(entry: object) -> Merge | None:
    if not isinstance(entry, dict) or entry.keys() != {"pair", "id"}:
        return None
    pair = entry["pair"]
    if not isinstance(pair, list) or len(pair) != 2:
        return None
    left, right, new = (_number(x, MAX_ID) for x in (pair[0], pair[1], entry["id"]))
    if left is None or right is None or new is None:
        return None
    return (left, right), new


def _vocab_entry(entry: object) -> tuple[int, bytes] | None:
    if not isinstance(entry, dict) or entry.keys() != {"id", "bytes"}:
        return None
    token_id = _number(entry["id"], MAX_ID)
    values = entry["bytes"]
    if token_id is None or not isinstance(values, list) or not values:
        return None
    if any(_number(b, 0xFF) is None for b in values):
        return None
    return token_id, bytes(values)


def _show(line: str) -> str:
    return repr(line if len(line) <= 60 else line[:57] + "...")


def _read_entries(path: pathlib.Path, what: str,
                  parse: Callable[[object], T | None]) -> list[tuple[int, T]]:
    """(line number, entry) for every entry of the file."""
    try:
        raw = path.read_bytes()
    except FileNotFoundError:
        raise RecordError(f"no such file: {path}") from None
    except OSError as e:
        raise RecordError(f"cannot read {path}: {e.strerror}") from None
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError as e:
        line = raw.count(b"\n", 0, e.start) + 1
        raise RecordError(f"{path}, line {line}: expected ASCII text, "
                          f"found the byte 0x{raw[e.start]:02x}") from None

    lines = text.split("\n")
    if lines[0].strip() != "[":
        found = _show(lines[0]) if text else "an empty file"
        raise RecordError(f"{path}, line 1: expected '[', found {found}")
    entries: list[tuple[int, T]] = []
    previous_comma = False
    number = 2
    while True:
        if number > len(lines):
            raise RecordError(f"{path}, line {number - 1}: expected an entry or ']', "
                              "found the end of the file")
        line = lines[number - 1].strip()
        if line == "]":
            break
        comma = line.endswith(",")
        try:
            entry = parse(json.loads(line[:-1] if comma else line))
        except ValueError:
            entry = None
        if entry is None:
            raise RecordError(f"{path}, line {number}: expected an entry {what}, "
                              f"found {_show(line)}")
        if entries and not previous_comma:
            raise RecordError(f"{path}, line {number - 1}: expected a comma after the entry")
        previous_comma = comma
        entries.append((number, entry))
        number += 1
    if entries and previous_comma:
        raise RecordError(f"{path}, line {number - 1}: expected no comma after the last entry")
    for extra, line in enumerate(lines[number:], start=number + 1):
        if line.strip():
            raise RecordError(f"{path}, line {extra}: expected nothing after ']', "
                              f"found {_show(line.strip())}")
    return entries


def read_merges_record(path: str | os.PathLike[str]) -> list[tuple[int, Merge]]:
    """The merges of a ``merges_record.json`` file, each with its line
    number. Raises RecordError for a missing or malformed file."""
    return _read_entries(pathlib.Path(path), MERGE_ENTRY, _merge)


def read_vocab_list(path: str | os.PathLike[str]) -> dict[int, bytes]:
    """The vocabulary of a ``vocab_list.json`` file. Its ids ascend, and ids
    0 to 255 stand for their single bytes. Raises RecordError for a missing
    or malformed file."""
    path = pathlib.Path(path)
    vocab: dict[int, bytes] = {}
    previous = -1
    for number, (token_id, value) in _read_entries(path, VOCAB_ENTRY, _vocab_entry):
        if token_id <= previous:
            raise RecordError(f"{path}, line {number}: expected an id above {previous}, "
                              f"found {token_id}")
        if token_id < 256 and value != bytes([token_id]):
            raise RecordError(f"{path}, line {number}: expected id {token_id} to stand for "
                              f"the single byte [{token_id}], found {list(value)}")
        vocab[token_id] = value
        previous = token_id
    for byte in range(256):
        if byte not in vocab:
            raise RecordError(f"{path}: expected an entry for every id 0 to 255, "
                              f"found none for {byte}")
    return vocab
