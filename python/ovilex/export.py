"""Tokenizers for other libraries: Hugging Face ``tokenizers`` and ``tiktoken``.

``hf_json(tok)`` is the ``tokenizer.json`` that
``tokenizers.Tokenizer.from_file`` loads (``Tokenizer.save_hf`` writes it):

- a byte-level BPE model with the vocabulary and the merge list, tokens
  spelt as the byte-level pre-tokenizer spells bytes (each byte one
  printable character);
- pre-tokenizing by the split pattern, written out for the library's regex
  engine (ovilex.patterns), then the byte-level mapping without a pattern of
  its own;
- the special tokens as added tokens, which the library finds in any text it
  encodes: its ids are those of ``encode(text, allowed_special="all")``, and
  of ``encode(text)`` for text without special tokens.

The library merges the lowest-ranked pair first, where ovilex applies the
merge list in order; for a list learned by training the two agree, since a
merge can only make pairs that come later in the list.

``to_tiktoken(tok, name)`` is a ``tiktoken.Encoding``: the ranks are the ids
and the pattern is written for tiktoken's engine. Its ``encode_ordinary``
gives ``encode``'s ids and ``encode(text, allowed_special="all")`` those of
``encode(text, allowed_special="all")``. tiktoken merges the adjacent pair
whose joined bytes have the lowest rank, whether or not that pair is a merge
of the list, and takes a chunk that is a token whole. The export checks that
every learned token is made from its own bytes alike by rank and by the merge
list (training's vocabularies are) and names the first that is not; that is
what lets the two agree, and the tests hold them to the same ids on real text
and on every code point, but it is a check, not a proof for every text.

Imported tokenizers (ovilex.importing) export too: one from Hugging Face
writes its merge list, ``ignore_merges`` and ``add_prefix_space`` back as
they were; one from tiktoken writes its ranks back as they were, and to
Hugging Face the merge list that its ranks make (for each token in rank
order, the pair its bytes merge into under the ranks below its own) with
``ignore_merges``: the usual stand-in, since Hugging Face ranks pairs by
their place in that list, not by the token they make. tiktoken has no
prefix space and no normalizer; a tokenizer with either cannot go there. A
tokenizer that normalizes by NFC writes Hugging Face's NFC normalizer.

``save_tiktoken(tok, path, name)`` writes the rank file that
``tiktoken.load.load_tiktoken_bpe`` reads (``BASE64 RANK`` per line, the
special tokens left out, as tiktoken keeps them) and ``PATH.json`` beside it
with the rest of the encoding::

    ranks = tiktoken.load.load_tiktoken_bpe(path)
    encoding = tiktoken.Encoding(mergeable_ranks=ranks, **json.load(open(path + ".json")))
"""

from __future__ import annotations

import base64
import json
import os
import pathlib
from typing import Any

from .errors import OvilexError
from .patterns import PATTERNS, hf_regex, pattern_for
from .staging import write_text

__all__ = ["BYTE_CHARS", "hf_json", "save_hf", "save_tiktoken", "tiktoken_args",
           "to_tiktoken"]

StrPath = str | os.PathLike[str]


def _byte_chars() -> tuple[str, ...]:
    """The character that stands for each byte in byte-level vocabularies:
    the byte itself where it is printable Latin-1, else one of 256 and on."""
    printable = [*range(ord("!"), ord("~") + 1), *range(0xA1, 0xAC + 1),
                 *range(0xAE, 0xFF + 1)]
    chars, extra = {}, 0
    for byte in range(256):
        if byte in printable:
            chars[byte] = chr(byte)
        else:
            chars[byte] = chr(256 + extra)
            extra += 1
    return tuple(chars[b] for b in range(256))


BYTE_CHARS = _byte_chars()


def byte_level(data: bytes) -> str:
    """bytes as a byte-level vocabulary spells them."""
    return "".join(BYTE_CHARS[b] for b in data)


def _pattern(tok: Any) -> Any:
    return getattr(tok, "pattern", None)


def _pre_tokenizer(tok: Any) -> dict[str, Any]:
    """Splitting by the pattern, or by its steps in order, then the
    byte-level mapping; with a prefix space, the ByteLevel pre-tokenizer
    alone, which adds the space to each stretch of text before splitting by
    GPT-2's pattern: the only pattern it can go with, since the library puts
    the space before every piece of the steps before it."""
    pattern = _pattern(tok)
    if getattr(tok, "prefix_space", False):
        if pattern != "gpt2":
            raise OvilexError("Hugging Face tokenizers puts a prefix space before the text only "
                              "with GPT-2's pattern, not with this tokenizer's")
        return {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                "use_regex": True}
    if isinstance(pattern, tuple):
        steps = [_hf_step(step) for step in pattern]
    elif pattern in PATTERNS or pattern is None:
        steps = [{"type": "Split", "pattern": {"Regex": pattern_for("hf", pattern)},
                  "behavior": "Isolated", "invert": False}]
    else:
        # Its matches alone: the rest removed.
        steps = [{"type": "Split", "pattern": {"Regex": hf_regex(pattern)},
                  "behavior": "Removed", "invert": True}]
    return {"type": "Sequence", "pretokenizers": [
        *steps,
        {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True,
         "use_regex": False},
    ]}


def _hf_step(step: tuple[Any, ...]) -> dict[str, Any]:
    """A split step (ovilex.patterns.split_rules) as a pre-tokenizer."""
    if step[0] == "digits":
        return {"type": "Digits", "individual_digits": step[1]}
    _, regex, behavior, invert = step
    return {"type": "Split", "pattern": {"Regex": hf_regex(regex)},
            "behavior": "".join(w.capitalize() for w in behavior.split("_")),
            "invert": invert}


def _unique_bytes(tok: Any) -> dict[int, bytes]:
    """The vocabulary; OvilexError when two ids hold the same bytes, which
    the other libraries' vocabularies, keyed by bytes, cannot hold."""
    vocab = tok.vocab
    first: dict[bytes, int] = {}
    for token_id in sorted(vocab):
        data = vocab[token_id]
        if data in first:
            raise OvilexError(f"ids {first[data]} and {token_id} both stand for {data!r}: a "
                              "vocabulary keyed by bytes cannot hold both")
        first[data] = token_id
    return vocab


# ----------------------------------------------------------------------
# Hugging Face tokenizers


def hf_json(tok: Any) -> dict[str, Any]:
    """The tokenizer.json of tok (see the module's description)."""
    vocab = _unique_bytes(tok)
    spelt = {i: byte_level(data) for i, data in vocab.items()}
    added = [{"id": token_id, "content": text, "single_word": False, "lstrip": False,
              "rstrip": False, "normalized": False, "special": True}
             for text, token_id in sorted(tok.special_tokens.items(), key=lambda t: t[1])]
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": added,
        "normalizer": {"type": "NFC"} if getattr(tok, "normalizer", None) == "nfc" else None,
        "pre_tokenizer": _pre_tokenizer(tok),
        "post_processor": None,
        "decoder": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                    "use_regex": True},
        "model": {
            "type": "BPE", "dropout": None, "unk_token": None,
            "continuing_subword_prefix": None, "end_of_word_suffix": None, "fuse_unk": False,
            "byte_fallback": False, "ignore_merges": bool(getattr(tok, "whole_chunks", False)),
            "vocab": _model_vocab(tok, spelt),
            "merges": [[spelt[left], spelt[right]] for (left, right), _ in tok.merges],
        },
    }


def _model_vocab(tok: Any, spelt: dict[int, str]) -> dict[str, int]:
    """The learned tokens as spelt, and the special tokens' texts too where
    they are not one after another from the vocabulary's size on: the
    library gives an added token the id of its text in the model's
    vocabulary, else the next one above, never the id the file says."""
    vocab = {spelt[i]: i for i in sorted(spelt)}
    ids = sorted(tok.special_tokens.values())
    if ids != list(range(len(vocab), len(vocab) + len(ids))):
        vocab.update((text, i) for text, i in tok.special_tokens.items() if text not in vocab)
    return vocab


def save_hf(tok: Any, path: StrPath) -> None:
    """Writes hf_json(tok) to path, through a temporary file beside it."""
    _write(pathlib.Path(path), json.dumps(hf_json(tok), ensure_ascii=False, indent=1) + "\n")


# ----------------------------------------------------------------------
# tiktoken


def tiktoken_args(tok: Any, name: str) -> dict[str, Any]:
    """The arguments of tiktoken.Encoding for tok: name, pat_str,
    mergeable_ranks and special_tokens."""
    if getattr(tok, "prefix_space", False):
        raise OvilexError("tiktoken cannot put a space before the text, as this tokenizer "
                          "does")
    if getattr(tok, "normalizer", None) is not None:
        raise OvilexError(f"tiktoken has no normalizer; this tokenizer normalizes text by "
                          f"{tok.normalizer.upper()} before splitting it")
    vocab = _unique_bytes(tok)
    ranks = {data: token_id for token_id, data in vocab.items()}
    # Ranks of tiktoken's own need no check: the tokenizer merges by them.
    if getattr(tok, "merging", "list") != "token_rank":
        _check_rank_merging(tok, vocab, ranks)
    pattern = _pattern(tok)
    if isinstance(pattern, tuple):
        raise OvilexError("tiktoken splits by the matches of one pattern: this tokenizer's "
                          f"{len(pattern)} split steps cannot be written as one")
    return {"name": name, "pat_str": pattern_for("tiktoken", pattern),
            "mergeable_ranks": ranks, "special_tokens": dict(tok.special_tokens)}


def _check_rank_merging(tok: Any, vocab: dict[int, bytes], ranks: dict[bytes, int]) -> None:
    """OvilexError unless every learned token is made from its own bytes,
    and only from them, both by merging by rank (tiktoken) and by the merge
    list."""
    merges = {pair: (index, new) for index, (pair, new) in enumerate(tok.merges)}
    if not getattr(tok, "whole_chunks", False):
        # tiktoken takes a chunk that is a token whole, made by merges or not.
        made = {new for _, new in merges.values()}
        for token_id, data in vocab.items():
            if len(data) > 1 and token_id not in made:
                raise OvilexError(f"token {token_id} ({data!r}) is made by no merge; tiktoken "
                                  "would take a chunk of its bytes whole")
    byte_ids = {data[0]: token_id for token_id, data in vocab.items() if len(data) == 1}
    for (_, _), new in tok.merges:
        data = vocab[new]
        if _by_rank(data, ranks) != [new] or _by_list([byte_ids[b] for b in data],
                                                       merges) != [new]:
            raise OvilexError(f"token {new} ({data!r}) is not what its own bytes make both "
                              "by rank and by the merge list; tiktoken would give other ids")


def _by_rank(data: bytes, ranks: dict[bytes, int]) -> list[int]:
    """tiktoken's merging: the adjacent parts whose joined bytes rank lowest
    first, the leftmost of equals, until no joined pair is a token."""
    parts = [data[i:i + 1] for i in range(len(data))]
    while len(parts) > 1:
        best, at = -1, -1
        for i in range(len(parts) - 1):
            rank = ranks.get(parts[i] + parts[i + 1], -1)
            if rank >= 0 and (at < 0 or rank < best):
                best, at = rank, i
        if at < 0:
            break
        parts[at:at + 2] = [parts[at] + parts[at + 1]]
    return [ranks[p] for p in parts]


def _by_list(ids: list[int], merges: dict[tuple[int, int], tuple[int, int]]) -> list[int]:
    """The merge list's result: the earliest merge of any adjacent pair
    first, the leftmost of equals (the same as applying the list in order,
    since a merge only makes pairs of later merges)."""
    while len(ids) > 1:
        best: tuple[int, int] | None = None
        at = -1
        for i in range(len(ids) - 1):
            merge = merges.get((ids[i], ids[i + 1]))
            if merge is not None and (best is None or merge < best):
                best, at = merge, i
        if best is None:
            break
        ids[at:at + 2] = [best[1]]
    return ids


def to_tiktoken(tok: Any, name: str = "ovilex") -> Any:
    """tok as a tiktoken.Encoding (see the module's description)."""
    try:
        import tiktoken
    except ImportError:
        raise OvilexError("to_tiktoken needs the Python package tiktoken "
                          "(Debian: python3-tiktoken)") from None
    return tiktoken.Encoding(**tiktoken_args(tok, name))


def save_tiktoken(tok: Any, path: StrPath, name: str = "ovilex") -> None:
    """Writes tok's rank file to path and the rest of its encoding to
    PATH.json (see the module's description)."""
    args = tiktoken_args(tok, name)
    ranks = args.pop("mergeable_ranks")
    path = pathlib.Path(path)
    lines = "".join(f"{base64.b64encode(data).decode()} {rank}\n"
                    for data, rank in sorted(ranks.items(), key=lambda item: item[1]))
    _write(path.with_name(path.name + ".json"), json.dumps(args, ensure_ascii=False, indent=1)
           + "\n")
    _write(path, lines)


def _write(path: pathlib.Path, text: str) -> None:
    """text to path, whole or not at all; OvilexError naming path when it
    cannot be written."""
    try:
        write_text(path, text)
    except OSError as e:
        raise OvilexError(str(e)) from None
