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

Any other regular expression splits through PCRE2 (``split_rules``): the
chunks are its matches, found as tiktoken's findall finds them, the text
between them dropped, with the meaning tiktoken's engine gives it ("$" the
end of the text alone). A chain of split steps, as Hugging Face tokenizers'
``Sequence`` pre-tokenizer makes, is a tuple of ``("split", regex,
behavior, invert)`` and ``("digits", individual_digits)`` steps, behavior one
of ``SPLIT_BEHAVIORS``, each step splitting the pieces of the one before.
A pattern that PCRE2 would run otherwise than the library it comes from is
refused with a ValueError naming the construct (``pattern_problem``).
"""

from __future__ import annotations

import functools
import re
from typing import Any

from . import _native

__all__ = [
    "CL100K_PATTERN", "CL100K_PATTERN_HF", "GPT2_PATTERN", "GPT2_PATTERN_TIKTOKEN", "LIBRARIES",
    "LLAMA3_PATTERN", "O200K_PATTERN", "OVILEX_PATTERN", "PATTERNS", "QWEN2_PATTERN",
    "SPLIT_BEHAVIORS", "pattern_for", "pattern_name", "pattern_problem", "split_rules",
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
# What a split step does with its matches, as Hugging Face's Split has it.
SPLIT_BEHAVIORS = ("isolated", "removed", "merged_with_previous", "merged_with_next",
                   "contiguous")

Steps = tuple[tuple[Any, ...], ...]


def pattern_name(pattern: str | None) -> str:
    """The name (one of PATTERNS) of a pattern given by name, as one of its
    regular expressions (the constants above, or a pattern_for string), or
    None for ovilex's own; ValueError for any other."""
    name = _known_name(pattern)
    if name is None:
        raise ValueError(f"unknown split pattern {_shown(pattern)}: the supported ones are "
                         f"{_NAMES}")
    return name


def _known_name(pattern: Any) -> str | None:
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
    return None


_NAMES = ", ".join(map(repr, PATTERNS[:-1])) + f" and {PATTERNS[-1]!r}"


def _shown(pattern: str) -> str:
    return repr(pattern) if len(pattern) <= 80 else repr(pattern[:77]) + "..."


def split_rules(pattern: Any, library: str = "tiktoken") -> str | Steps:
    """How a Tokenizer splits by pattern: the name of a native pattern
    (pattern_name), or the split steps that PCRE2 runs. pattern: None, a
    name, a regular expression as library ("tiktoken" or "hf") reads it
    (its matches are the chunks), or a tuple of steps (see the module's
    description). A word of letters and digits alone is taken for a name:
    as a pattern it would keep that word and drop all else. ValueError
    for a pattern refused (pattern_problem) or that PCRE2 cannot compile,
    TypeError for one of another type."""
    if isinstance(pattern, (tuple, list)):
        steps = tuple(map(tuple, pattern))
        if len(steps) == 1 and steps[0][:1] == ("split",) and len(steps[0]) == 4 \
                and steps[0][2:] == ("removed", True) and isinstance(steps[0][1], str):
            return split_rules(steps[0][1], library)
    else:
        name = _known_name(pattern)
        if name is not None:
            return name
        if pattern == "" or re.fullmatch(r"\w+", pattern, re.ASCII):
            pattern_name(pattern)  # raises: an unknown name
        steps = (("split", pattern, "removed", True),)
    if len(steps) == 1 and steps[0][:1] == ("split",) and len(steps[0]) == 4 \
            and steps[0][2:] == ("isolated", False) and isinstance(steps[0][1], str):
        # A native pattern covers the whole text: its isolated pieces are
        # its matches.
        if (name := _known_name(steps[0][1])) is not None:
            return name
    for step in steps:
        if step[:1] == ("split",) and len(step) == 4 and isinstance(step[1], str):
            if problem := pattern_problem(step[1], library):
                raise ValueError(f"split pattern {_shown(step[1])}: {problem}")
            try:
                _native.split("", (step,))  # compiled here for its message
            except ValueError as e:
                raise ValueError(f"split pattern {_shown(step[1])}: "
                                 + str(e).removeprefix("split pattern: ")) from None
    _native.split("", steps)  # the rest of the steps' checks
    return steps


# What PCRE2 reads otherwise than the libraries, found by scanning the
# pattern: the escapes, and the inline flags other than i.
_ESCAPES = {
    "w": "\\w's word characters differ between PCRE2 and the libraries",
    "W": "\\W's word characters differ between PCRE2 and the libraries",
    "b": "\\b's word characters differ between PCRE2 and the libraries",
    "B": "\\B's word characters differ between PCRE2 and the libraries",
    "h": "\\h is a hex digit to Oniguruma and horizontal space to PCRE2",
    "H": "\\H is a non-hex digit to Oniguruma and not horizontal space to PCRE2",
    "Z": "\\Z may end before a final newline in PCRE2 and Oniguruma, not in the regex module",
    **{c: f"\\{c} is an escape of PCRE2's own" for c in "QEKGXRNgCc"},
}


def _tokens(pattern: str) -> Any:
    """The pattern as (token, in_set): an escape whole (with the braces of
    \\p{..} and \\x{..}), a set's opening "[", "[^" with a "]" first that is
    a member, or one character; in_set when it stands inside a set."""
    i, n, in_set = 0, len(pattern), False
    while i < n:
        c = pattern[i]
        j = i + 1
        if c == "\\":
            j = i + 2
            if pattern[i + 1:i + 2] in ("p", "P", "x") and pattern[j:j + 1] == "{":
                j = pattern.find("}", j) + 1 or n
        elif c == "[" and not in_set:
            j += pattern[j:j + 1] == "^"
            j += pattern[j:j + 1] == "]"
            yield pattern[i:j], False
            in_set = True
            i = j
            continue
        elif c == "]" and in_set:
            in_set = False
        yield pattern[i:j], in_set and c != "]"
        i = j


def pattern_problem(pattern: str, library: str = "tiktoken") -> str | None:
    """What in pattern PCRE2 would read otherwise than library ("tiktoken"
    or "hf": Oniguruma) and the regex module, or None. Not a proof: the
    constructs that are known to part."""
    tokens = list(_tokens(pattern))
    for k, (token, in_set) in enumerate(tokens):
        after = tokens[k + 1][0] if k + 1 < len(tokens) else ""
        if token[:1] == "\\" and token[1:2] in _ESCAPES:
            return _ESCAPES[token[1:2]]
        if in_set:
            if token == "[" and after == ":":
                return "a POSIX class [:...:] is ASCII to tiktoken's engine, Unicode to PCRE2"
            if token == "[":
                return "a [ inside a set nests a set in the libraries but not in PCRE2"
            if token + after in ("&&", "--", "~~"):
                return f"{token + after} inside a set is set arithmetic in the libraries"
            continue
        if token == "(" and after == "?":
            flags = re.match(r"\(\?([a-zA-Z-]+)[:)]", "".join(t for t, _ in tokens[k:k + 12]))
            if flags and set(flags.group(1)) - {"i", "-"}:
                return (f"the inline flags ({flags.group(1)}) mean other things to the engines: "
                        "only i is taken")
        if library == "hf":
            if token in ("^", "$"):
                return (f"{token} matches at every line in Oniguruma, only at the text's ends "
                        "in PCRE2")
            if token == "}" and after == "+":
                return "Oniguruma repeats {n,m}+ again where PCRE2 makes it possessive"
    return None


def hf_regex(pattern: str) -> str:
    """A regex outside the families as Oniguruma (Hugging Face tokenizers)
    reads it alike: "^" and "$" as \\A and \\z. ValueError for a possessive
    {n,m}+, which Oniguruma repeats."""
    tokens = list(_tokens(pattern))
    out = []
    for k, (token, in_set) in enumerate(tokens):
        if not in_set and token in ("^", "$"):
            token = "\\A" if token == "^" else "\\z"
        elif not in_set and token == "}" and tokens[k + 1:k + 2] == [("+", False)]:
            raise ValueError(f"split pattern {_shown(pattern)}: Oniguruma would repeat its "
                             "possessive {n,m}+")
        out.append(token)
    return "".join(out)


@functools.cache
def pattern_for(library: str, pattern: str | None = None) -> str:
    """A split pattern written for a library's regex engine: library is
    "hf" (Hugging Face tokenizers, Oniguruma) or "tiktoken" (fancy-regex);
    pattern as pattern_name takes it, ovilex's own by default. GPT-2's is
    the library's own spelling of it, and the others are their published
    strings, cl100k's without its possessive "{1,3}+" for "hf". Any other
    regular expression as it is, or for "hf" as hf_regex writes it."""
    if library not in LIBRARIES:
        raise ValueError(f"unknown library {library!r}: the supported ones are 'hf' and 'tiktoken'")
    if _known_name(pattern) is None and not (pattern == "" or re.fullmatch(r"\w+", pattern, re.ASCII)):
        rules = split_rules(pattern)
        if not isinstance(rules, str):
            return pattern if library == "tiktoken" else hf_regex(pattern)
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
