"""The split patterns as regular expressions, for Python's ``re`` and for the
tokenizer libraries that tokenizers move to and from.

ovilex splits text under one of these patterns (see ``ovilex.split``):

``"ovilex"``
    its own, ``OVILEX_PATTERN``, whose character classes are Python's ``re``
    ones as the interpreter that built the native module has them;
``"gpt2"``
    GPT-2's, ``GPT2_PATTERN``, exactly as the libraries run it, with their
    classes (``\\p{L}``, ``\\p{N}``, White_Space) at their Unicode version;
``"cl100k"``
    cl100k_base's, ``CL100K_PATTERN``, as tiktoken spells it (possessive);
``"llama3"``
    ``LLAMA3_PATTERN``, cl100k_base's in its older backtracking spelling, which
    Llama 3 publishes, and the npm ``tiktoken`` package's cl100k_base.json
    too: the same chunks but where a whitespace run that ends the text holds
    a CR or LF before other whitespace (``"a\\n "``: ``"\\n "`` under cl100k,
    ``"\\n"`` and ``" "`` under llama3);
``"qwen2"``
    Qwen2's, ``QWEN2_PATTERN``: llama3's with numbers one digit at a time;
``"o200k"``
    o200k_base's, ``O200K_PATTERN``, which tells letters apart by case.

The last four use GPT-2's classes, o200k with their letters' and marks'
general categories.

``pattern_for(library)`` writes ovilex's own pattern in a library's regex
dialect with every class spelt out as ranges of code points, read off the
native module's tables: a library given that string splits text exactly as
``ovilex.split`` does, whatever Unicode version its regex engine has (lone
surrogates aside: those libraries take only valid Unicode).

- Hugging Face ``tokenizers``:
  ``pre_tokenizers.Split(Regex(pattern_for("hf")), behavior="isolated")``
- ``tiktoken``: ``Encoding(..., pat_str=pattern_for("tiktoken"), ...)``

The published patterns need no such spelling: both libraries run them as
they are, but for cl100k's possessive "{1,3}+", which Hugging Face
tokenizers reads as "any number of digits" (``CL100K_PATTERN_HF`` leaves the
"+" out).
"""

from __future__ import annotations

import functools

from . import _native

__all__ = [
    "CL100K_PATTERN", "CL100K_PATTERN_HF", "GPT2_PATTERN", "GPT2_PATTERN_TIKTOKEN", "LIBRARIES",
    "LLAMA3_PATTERN", "O200K_PATTERN", "OVILEX_PATTERN", "PATTERNS", "QWEN2_PATTERN", "pattern_for", "pattern_name",
]

# ovilex's own pattern, in Python's re (ovilex.split.SPLIT_PATTERN).
OVILEX_PATTERN = r"""'(?:s|t|re|ve|m|ll|d)| ?[^\W\d_]+| ?\d+| ?(?:[^\s\w]|_)+|\s+(?!\S)|\s+"""

# GPT-2's pattern, as Hugging Face tokenizers' ByteLevel pre-tokenizer has
# it; and tiktoken's own spelling of it (its gpt2, r50k_base and p50k_base
# encodings), which matches the same chunks.
GPT2_PATTERN = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
GPT2_PATTERN_TIKTOKEN = (
    r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s"""
)

# cl100k_base's pattern as Python's tiktoken spells it; the older spelling
# that Llama 3 and the npm tiktoken package's cl100k_base.json publish, which
# differs only in whitespace at the end of the text; and Qwen2's, the older
# spelling with one digit per number.
CL100K_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)
# Oniguruma, Hugging Face tokenizers' engine, reads "{1,3}+" as "({1,3})+",
# any number of digits: its spelling of cl100k's leaves the "+" out.
CL100K_PATTERN_HF = CL100K_PATTERN.replace(r"\p{N}{1,3}+", r"\p{N}{1,3}")
LLAMA3_PATTERN = (
    r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"""
    r"""|\s*[\r\n]+|\s+(?!\S)|\s+"""
)
QWEN2_PATTERN = (
    r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*"""
    r"""|\s*[\r\n]+|\s+(?!\S)|\s+"""
)

# o200k_base's pattern: words of upper and lower case letters, marks and
# other letters, the contractions after them.
O200K_PATTERN = "|".join([
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
    r"""\p{N}{1,3}""",
    r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""",
    r"""\s*[\r\n]+""",
    r"""\s+(?!\S)""",
    r"""\s+""",
])

# The regular expressions that name each pattern other than ovilex's own.
_PUBLISHED = {
    GPT2_PATTERN: "gpt2", GPT2_PATTERN_TIKTOKEN: "gpt2", CL100K_PATTERN: "cl100k",
    CL100K_PATTERN_HF: "cl100k", LLAMA3_PATTERN: "llama3", QWEN2_PATTERN: "qwen2",
    O200K_PATTERN: "o200k",
}

PATTERNS = ("ovilex", "gpt2", "cl100k", "llama3", "qwen2", "o200k")
LIBRARIES = ("hf", "tiktoken")


def pattern_name(pattern: str | None) -> str:
    """The name (one of PATTERNS) of a pattern given by name, as one of its
    regular expressions (the constants above, or a pattern_for string), or
    None for ovilex's own; ValueError for any other."""
    if pattern is None:
        return "ovilex"
    if not isinstance(pattern, str):
        raise TypeError(f"split pattern must be str or None, not {type(pattern).__name__}")
    if pattern in PATTERNS:
        return pattern
    if pattern in _PUBLISHED:
        return _PUBLISHED[pattern]
    if pattern == OVILEX_PATTERN or pattern in map(pattern_for, LIBRARIES):
        return "ovilex"
    shown = repr(pattern) if len(pattern) <= 80 else repr(pattern[:77]) + "..."
    names = ", ".join(map(repr, PATTERNS[:-1])) + f" and {PATTERNS[-1]!r}"
    raise ValueError(f"unknown split pattern {shown}: the supported ones are {names}")


@functools.cache
def pattern_for(library: str, pattern: str | None = None) -> str:
    """A split pattern written for a library's regex engine: library is
    "hf" (Hugging Face tokenizers, Oniguruma) or "tiktoken" (fancy-regex);
    pattern as pattern_name takes it, ovilex's own by default. GPT-2's is
    the library's own spelling of it, and the others are their published
    strings, cl100k's without its possessive "{1,3}+" for "hf"."""
    if library not in LIBRARIES:
        raise ValueError(f"unknown library {library!r}: the supported ones are 'hf' and 'tiktoken'")
    name = pattern_name(pattern)
    if name == "gpt2":
        return GPT2_PATTERN if library == "hf" else GPT2_PATTERN_TIKTOKEN
    if name == "cl100k":
        return CL100K_PATTERN_HF if library == "hf" else CL100K_PATTERN
    if name != "ovilex":
        return next(p for p, n in _PUBLISHED.items() if n == name)
    # Both engines read \x{...} escapes, ranges and negated sets alike, so
    # one spelling serves both.
    ranges = _native.char_class_ranges("ovilex")
    letter, digit, space = (_char_set(ranges[c]) for c in ("letter", "digit", "space"))
    symbol = _char_set(ranges["letter"] + ranges["digit"] + ranges["space"], negated=True)
    non_space = _char_set(ranges["space"], negated=True)
    return (f"'(?:s|t|re|ve|m|ll|d)| ?{letter}+| ?{digit}+| ?{symbol}+"
            f"|{space}+(?!{non_space})|{space}+")


def _char_set(ranges: tuple[tuple[int, int], ...], negated: bool = False) -> str:
    """A bracketed set of code point ranges, neighbours joined. Only
    letters, digits and spaces are listed, never a surrogate: the libraries
    take none."""
    merged: list[list[int]] = []
    for first, last in sorted(ranges):
        if merged and first == merged[-1][1] + 1:
            merged[-1][1] = last
        else:
            merged.append([first, last])
    items = (_char(a) if a == b else f"{_char(a)}-{_char(b)}" for a, b in merged)
    return "[" + ("^" if negated else "") + "".join(items) + "]"


def _char(cp: int) -> str:
    c = chr(cp)
    return c if c.isascii() and c.isalnum() else f"\\x{{{cp:X}}}"
