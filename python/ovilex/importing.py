"""Tokenizers trained by other libraries, with those libraries' ids.

``Tokenizer.from_hf(path)`` reads a Hugging Face ``tokenizers``
``tokenizer.json`` and ``Tokenizer.from_tiktoken(path, pattern)`` a
``tiktoken`` rank file, ``.tiktoken`` or the JSON form that the npm package
ships (see docs/interop.md; a file whose first character past whitespace is
"{" is read as JSON); each gives a Tokenizer whose ``encode`` gives the
source library's ids for any text:

- Hugging Face: those of ``encode(text, add_special_tokens=False).ids`` for
  text without added tokens, and ``encode(text, allowed_special="all")``
  those of the same call on any text (the library finds its added tokens in
  every text; ovilex only where allowed);
- tiktoken: those of ``Encoding.encode_ordinary(text)``, and with
  ``allowed_special="all"`` those of ``Encoding.encode(text,
  allowed_special="all")``.

The ids are the library's own, bytes included: GPT-2's vocabulary does not
give byte b the id b, and neither does a file trained with Hugging Face's
``ByteLevel``. Special tokens (Hugging Face's added tokens, special or not)
keep their ids too.

Merging follows the source library, not ovilex's rule. ovilex applies its
merge list in order, each merge to the whole chunk; the libraries merge the
adjacent pair of lowest rank first, the leftmost of equals, over and over:
Hugging Face ranks a pair by its place in the merge list, tiktoken by the
rank of the token its joined bytes make, and takes a chunk that is itself a
token whole (as Hugging Face does when ``ignore_merges`` is set). The two
rules agree on the lists that training makes, where a merge only makes pairs
of later merges, but not on every list: with (x c) -> y listed before
(a b) -> x, the list turns "abc" into [x, c] and ranks into [y]. An imported
tokenizer merges by rank (``merging`` is "merge_rank" or "token_rank"), so
it reproduces the source library whatever order its list has.

What can be imported: byte-level BPE with ids 0 to 4294967294 (all that
the Tokenizer takes; 2**32 - 1 is no id) whose vocabulary holds every byte,
split by a native pattern or by any other that PCRE2 runs as the library
does (``ovilex.patterns.split_rules``). From Hugging Face: no normalizer (or
an empty sequence of them) or NFC (alone or the only one of a sequence; see
below), the ``ByteLevel`` pre-tokenizer with its own pattern
(``add_prefix_space`` true or false) or a ``Sequence`` of ``Split``,
``Digits`` and ``ByteLevel`` steps that ends with ``ByteLevel`` (as
``save_hf`` writes; a single isolating ``Split`` of a native pattern splits
natively), a ``ByteLevel`` decoder or none, no truncation, and a BPE model
without dropout or subword affixes; its merges as ["a", "b"] pairs or "a b"
strings.
The post-processor and padding are left out: they add nothing to
``encode(text, add_special_tokens=False)``. Anything else raises
``TokenizerFileError`` (an ``OvilexError``) with a one-line message naming
the file and what is unsupported, except a file that cannot be opened
(``OSError``) and, for ``from_tiktoken``, a pattern that ovilex does not
split by (``ValueError``, as ``ovilex.patterns.split_rules`` raises it).
Rank files are read natively (``_native.load_ranks``), with no Python
object per rank.

With ``add_prefix_space`` a space is put before each stretch of text that
does not begin with one (the whole text, or each stretch between allowed
special tokens), as the library does; ``decode`` gives that space back, as
the library's decoder does.

With HF's NFC normalizer the tokenizer normalizes each such stretch by NFC
first (``normalizer="nfc"``), as the library normalizes the text between
added tokens that are not ``normalized``; an added token that is (found by
the library in normalized text) is refused. The library's NFC is at Unicode
9.0, ovilex's at the building interpreter's (see docs/interop.md).
"""

from __future__ import annotations

import json
import os
import pathlib
from collections.abc import Mapping
from typing import Any

from . import _native
from .errors import TokenizerFileError
from .export import BYTE_CHARS
from .patterns import GPT2_PATTERN, split_rules

__all__ = ["TokenizerFileError", "from_hf", "from_tiktoken", "hf_arguments",
           "tiktoken_arguments"]

StrPath = str | os.PathLike[str]

CHAR_BYTES = {char: byte for byte, char in enumerate(BYTE_CHARS)}
MAX_ID = _native.MAX_TOKEN_ID


def _fail(where: str, what: str) -> TokenizerFileError:
    return TokenizerFileError(f"{where}: {what}")


def _check_id(where: str, what: str, token_id: Any) -> int:
    if type(token_id) is not int or token_id < 0:
        raise _fail(where, f"{what} has the id {token_id!r}, expected an int of 0 or more")
    if token_id > MAX_ID:
        raise _fail(where, f"{what} has the id {token_id}: ovilex's ids are 0 to {MAX_ID}")
    return token_id


def _check_bytes(where: str, vocab: Mapping[int, bytes]) -> None:
    singles = {data[0] for data in vocab.values() if len(data) == 1}
    for byte in range(256):
        if byte not in singles:
            raise _fail(where, f"no token stands for the byte 0x{byte:02X}: byte-level BPE "
                               "needs all 256")


# ----------------------------------------------------------------------
# Hugging Face tokenizers


def from_hf(cls: Any, path: StrPath) -> Any:
    """cls (a Tokenizer class) from a Hugging Face tokenizer.json (see the
    module's description)."""
    where = os.fspath(path)
    try:
        data = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise _fail(where, f"not a tokenizer.json: {e}") from None
    return cls(**hf_arguments(data, where))


def hf_arguments(data: Any, where: str) -> dict[str, Any]:
    """The Tokenizer arguments of a tokenizer.json's content; where names
    the file in messages."""
    if not isinstance(data, dict) or not isinstance(data.get("model"), dict):
        raise _fail(where, "not a tokenizer.json: no model")
    model = data["model"]
    if model.get("type", "BPE") != "BPE":
        raise _fail(where, f"the model is {model.get('type')}, not BPE")
    if data.get("truncation") is not None:
        raise _fail(where, "truncation is set; ovilex encodes whole texts")
    normalizer = _hf_normalizer(data.get("normalizer"), where)
    decoder = data.get("decoder")
    if decoder is not None and _kind(decoder) != "ByteLevel":
        raise _fail(where, f"the decoder {_kind(decoder)} is not byte-level")
    if model.get("dropout") not in (None, 0, 0.0):
        raise _fail(where, "the model has dropout, which makes its ids random")
    for affix in ("continuing_subword_prefix", "end_of_word_suffix"):
        if model.get(affix):
            raise _fail(where, f"the model has a {affix}, which byte-level BPE does not use")
    pattern, prefix_space = _hf_pre_tokenizer(data.get("pre_tokenizer"), where)
    tokens = model.get("vocab")
    if not isinstance(tokens, dict):
        raise _fail(where, "the model has no vocab")
    specials = _hf_added_tokens(data.get("added_tokens") or [], tokens, where, normalizer)
    vocab, ids = _hf_vocab(tokens, set(specials.values()), where)
    return {"merges": _hf_merges(model.get("merges"), ids, where), "vocab": vocab,
            "special_tokens": specials, "pattern": pattern, "merging": "merge_rank",
            "whole_chunks": bool(model.get("ignore_merges", False)),
            "prefix_space": prefix_space, "normalizer": normalizer}


def _kind(part: Any) -> str:
    return str(part.get("type")) if isinstance(part, dict) else repr(part)


def _hf_normalizer(normalizer: Any, where: str) -> str | None:
    """The normalizer's name: "nfc" for NFC (alone or in a Sequence with
    nothing else), None for none or an empty Sequence."""
    parts = [normalizer] if normalizer is not None else []
    if _kind(normalizer) == "Sequence" and isinstance(normalizer.get("normalizers"), list):
        parts = normalizer["normalizers"]
    for part in parts:
        if _kind(part) != "NFC":
            raise _fail(where, f"the normalizer {_kind(part)} changes text before it is split; "
                               "ovilex normalizes only by NFC")
    return "nfc" if parts else None


# Hugging Face's names of a Split's behaviours.
HF_BEHAVIORS = {"Isolated": "isolated", "Removed": "removed",
                "MergedWithPrevious": "merged_with_previous",
                "MergedWithNext": "merged_with_next", "Contiguous": "contiguous"}


def _hf_pre_tokenizer(pre: Any, where: str) -> tuple[str | tuple[Any, ...], bool]:
    """The split pattern (split_rules) and add_prefix_space: ByteLevel with
    its own pattern, GPT-2's; or a Sequence of Split, Digits and ByteLevel
    steps that ends with ByteLevel, each step splitting the pieces of the one
    before (ByteLevel with its own pattern splits by GPT-2's)."""
    sequence = _kind(pre) == "Sequence"
    steps = pre.get("pretokenizers") if sequence else [pre]
    if not isinstance(steps, list) or not steps or _kind(steps[-1]) != "ByteLevel":
        shown = "[" + ", ".join(map(_kind, steps)) + "]" if sequence and isinstance(
            steps, list) else _kind(pre)
        raise _fail(where, f"the pre-tokenizer {shown} is not supported: expected ByteLevel, "
                           "or a Sequence of Split, Digits and ByteLevel that ends with "
                           "ByteLevel")
    chain: list[tuple[Any, ...]] = []
    prefix_space = False
    for k, step in enumerate(steps):
        kind = _kind(step)
        part = f"pre-tokenizer {k} ({kind})" if sequence else f"the pre-tokenizer {kind}"
        if kind == "ByteLevel":
            if k != len(steps) - 1:
                raise _fail(where, f"{part} maps bytes to characters before other steps split")
            if step.get("add_prefix_space", True):
                if k != 0:
                    raise _fail(where, f"{part} puts a space before every piece, where ovilex "
                                       "puts one before the text")
                prefix_space = True
            if step.get("use_regex", True):
                chain.append(("split", GPT2_PATTERN, "isolated", False))
        elif kind == "Split":
            pattern = step.get("pattern")
            if isinstance(pattern, dict) and isinstance(pattern.get("Regex"), str):
                regex = pattern["Regex"]
            elif isinstance(pattern, dict) and isinstance(pattern.get("String"), str):
                regex = "".join(c if c.isalnum() else "\\" + c for c in pattern["String"])
            else:
                raise _fail(where, f"{part} has no Regex or String pattern")
            behavior = HF_BEHAVIORS.get(step.get("behavior"))
            if behavior is None:
                raise _fail(where, f"{part} has the behavior {step.get('behavior')!r}, not one of "
                                   + ", ".join(HF_BEHAVIORS))
            chain.append(("split", regex, behavior, bool(step.get("invert", False))))
        elif kind == "Digits":
            chain.append(("digits", bool(step.get("individual_digits", False))))
        else:
            raise _fail(where, f"{part} is not supported: expected Split, Digits or ByteLevel")
    try:
        return split_rules(tuple(chain), "hf"), prefix_space
    except ValueError as e:
        raise _fail(where, str(e)) from None


def _hf_added_tokens(added: Any, tokens: dict[str, Any], where: str,
                     normalizer: str | None) -> dict[str, int]:
    """The added tokens' ids as the library gives them when it loads the
    file, whatever ids the file says: the id of the token's text in the
    model's vocabulary, else the next one above the vocabulary's size and
    the added tokens before it. Under a normalizer, each must be found in
    the text as given (not normalized), as ovilex finds special tokens."""
    specials: dict[str, int] = {}
    ids: set[int] = set()
    next_id = len(tokens)
    for token in added:
        content = token.get("content") if isinstance(token, dict) else None
        if not isinstance(content, str) or not content:
            raise _fail(where, f"added token {token!r} has no text")
        token_id = tokens.get(content, next_id)
        _check_id(where, f"added token {content!r}", token_id)
        next_id = max(next_id, token_id + 1)
        for flag in ("single_word", "lstrip", "rstrip"):
            if token.get(flag):
                raise _fail(where, f"added token {content!r} has {flag} set, which ovilex's "
                                   "special tokens do not have")
        if normalizer is not None and token.get("normalized", True):
            raise _fail(where, f"added token {content!r} is found in normalized text; ovilex "
                               "finds special tokens in the text as given")
        if content in specials or token_id in ids:
            raise _fail(where, f"added token {content!r} (id {token_id}) is given twice")
        specials[content] = token_id
        ids.add(token_id)
    return specials


def _hf_vocab(tokens: dict[str, Any], special_ids: set[int],
              where: str) -> tuple[dict[int, bytes], dict[str, int]]:
    """The vocabulary by id (the added tokens left out) and by spelling."""
    vocab: dict[int, bytes] = {}
    for token, token_id in tokens.items():
        _check_id(where, f"token {token!r}", token_id)
        if token_id in vocab:
            raise _fail(where, f"id {token_id} stands for two tokens")
        if token_id in special_ids:
            continue
        try:
            vocab[token_id] = bytes(CHAR_BYTES[c] for c in token)
        except KeyError:
            raise _fail(where, f"token {token!r} (id {token_id}) is not spelt in byte-level "
                               "characters") from None
    _check_bytes(where, vocab)
    return vocab, {t: i for t, i in tokens.items() if i in vocab}


def _hf_merges(merges: Any, ids: dict[str, int],
               where: str) -> list[tuple[tuple[int, int], int]]:
    """The merges by ids, in the order of their ranks: a pair listed twice
    at its last place, as the library's map of the list keeps it."""
    if not isinstance(merges, list):
        raise _fail(where, "the model has no merges")
    ranked: dict[tuple[int, int], int] = {}
    for rank, merge in enumerate(merges):
        pair = merge.split(" ") if isinstance(merge, str) else merge
        if not isinstance(pair, list) or len(pair) != 2 or not all(isinstance(p, str)
                                                                    for p in pair):
            raise _fail(where, f"merge {rank} is {merge!r}, expected [\"a\", \"b\"] or \"a b\"")
        for token in (pair[0], pair[1], pair[0] + pair[1]):
            if token not in ids:
                raise _fail(where, f"merge {rank} ({pair[0]!r}, {pair[1]!r}): {token!r} is "
                                   "not a token of the vocabulary")
        key = (ids[pair[0]], ids[pair[1]])
        ranked.pop(key, None)
        ranked[key] = ids[pair[0] + pair[1]]
    return list(ranked.items())


# ----------------------------------------------------------------------
# tiktoken


def from_tiktoken(cls: Any, path: StrPath, pattern: str | None = None,
                  special_tokens: Mapping[str, int] | None = None) -> Any:
    """cls from a tiktoken rank file, a .tiktoken file or the JSON form of
    the npm package (see the module's description)."""
    where = os.fspath(path)
    if not isinstance(where, str):
        where = os.fsdecode(where)
    data = pathlib.Path(path).read_bytes()
    if data.lstrip()[:1] == b"{":
        info = _tiktoken_json(data, where)
        ranks, compact = info["bpe_ranks"], True
    else:
        info = _tiktoken_rest(pathlib.Path(path)) if pattern is None or special_tokens is None \
            else {}
        ranks, compact = data, False
    if pattern is None:
        if "pat_str" not in info:
            raise _fail(where, "no pattern given and no pat_str in " +
                               ("the file" if compact else "a .json beside it"))
        pattern = info["pat_str"]
    if special_tokens is None:
        special_tokens = info.get("special_tokens", {})
    rules = split_rules(pattern)
    specials = {text: _check_id(where, f"special token {text!r}", token_id)
                for text, token_id in dict(special_tokens or {}).items()}
    return _native.load_ranks(cls, ranks, compact, where, specials, rules,
                              info.get("explicit_n_vocab"))


def tiktoken_arguments(path: StrPath, pattern: str | None = None,
                       special_tokens: Mapping[str, int] | None = None) -> dict[str, Any]:
    """The Tokenizer arguments of a rank file, as from_tiktoken reads it."""
    tok = from_tiktoken(_native.Tokenizer, path, pattern, special_tokens)
    return {"merges": None, "vocab": tok.vocab, "special_tokens": tok.special_tokens,
            "pattern": tok.pattern, "merging": "token_rank", "whole_chunks": True}


def _tiktoken_json(data: bytes, where: str) -> dict[str, Any]:
    """The pattern, special tokens, ranks and explicit_n_vocab of the JSON
    form, each checked for its type."""
    try:
        info = json.loads(data)
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise _fail(where, f"not a tiktoken JSON file: {e}") from None
    # The file begins with "{": an object. Without a pat_str, the pattern
    # must be given.
    if "bpe_ranks" not in info:
        raise _fail(where, "bpe_ranks is missing")
    for key in ("bpe_ranks", "pat_str"):
        if key in info and not isinstance(info[key], str):
            raise _fail(where, f"{key} must be a str, found {type(info[key]).__name__}")
    specials = info.get("special_tokens", {})
    if not isinstance(specials, dict):
        raise _fail(where, f"special_tokens must be an object, found "
                           f"{type(specials).__name__}")
    n_vocab = info.get("explicit_n_vocab")
    if n_vocab is not None and (type(n_vocab) is not int or n_vocab < 0):
        raise _fail(where, f"explicit_n_vocab must be an int of 0 or more, found {n_vocab!r}")
    return info


def _tiktoken_rest(path: pathlib.Path) -> dict[str, Any]:
    """The name, pattern and special tokens in PATH.json, if there is one."""
    rest = path.with_name(path.name + ".json")
    try:
        data = json.loads(rest.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return {}
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise _fail(os.fspath(rest), f"not the rest of a tiktoken encoding: {e}") from None
    if not isinstance(data, dict):
        raise _fail(os.fspath(rest), "not the rest of a tiktoken encoding: not an object")
    return data
