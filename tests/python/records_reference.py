"""The record-file reader in pure Python, line by line through json.loads:
the straightforward version that the native read_records is checked
against. read_records gives what Tokenizer.load read and the messages it
raised; the functions under it are kept as they were written.
"""

from __future__ import annotations

import json
import os
import pathlib
from collections.abc import Callable, Mapping, Sequence
from typing import TypeVar

from ovilex.errors import RecordError

MAX_ID = 0xFFFF_FFFE
MERGE_ENTRY = '{"pair":[LEFT,RIGHT],"id":ID} with ids 0 to 4294967294'
VOCAB_ENTRY = '{"id":ID,"bytes":[BYTE,...]} with an id 0 to 4294967294 and one or more bytes 0 to 255'

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


def read_records(merges_path: str, vocab_path: str) -> tuple[list[Merge], dict[int, bytes]]:
    """The merges and the vocabulary of the two files, as Tokenizer.load
    read them, or the RecordError it raised."""
    merges = read_merges_record(merges_path)
    vocab = read_vocab_list(vocab_path)
    problem = _problem([merge for _, merge in merges], vocab, str(vocab_path))
    if problem is not None:
        index, message = problem
        raise RecordError(f"{merges_path}, line {merges[index][0]}: {message}")
    return [merge for _, merge in merges], vocab
