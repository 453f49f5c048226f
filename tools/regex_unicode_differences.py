"""The code points whose Unicode properties part between PCRE2 (as ovilex runs
split patterns outside the families), the regex module, tiktoken's engine and
Hugging Face tokenizers' engine, per property that split patterns use; printed
as the Markdown table of docs/interop.md.

    PYTHONPATH=python:build tools/env python3.14 tools/regex_unicode_differences.py

Each engine is asked as a black box which code points match the property
alone: PCRE2 and the regex module by findall, tiktoken through an Encoding of
the 256 bytes whose pattern is the property (the text between matches is
dropped, so the decoded ids are the matching code points), Hugging Face
through a Split that keeps only the matches.
"""

from __future__ import annotations

import sys
import unicodedata

PROPERTIES = [r"\p{L}", r"\p{Lu}", r"\p{Ll}", r"\p{Lt}", r"\p{Lm}", r"\p{Lo}", r"\p{M}",
              r"\p{N}", r"\p{Nd}", r"\s", r"\p{Latin}", r"\p{Greek}", r"\p{Han}"]
# Surrogates are no text to the libraries.
TEXT = "".join(chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF)


def pcre2(prop: str) -> set[int]:
    from ovilex import _native
    return set(map(ord, "".join(_native.split(TEXT, (("split", prop, "removed", True),)))))


def regex_module(prop: str) -> set[int]:
    import regex
    return set(map(ord, "".join(regex.findall(prop, TEXT))))


def tiktoken_engine(prop: str) -> set[int]:
    import tiktoken
    enc = tiktoken.Encoding("probe", pat_str=prop, special_tokens={},
                            mergeable_ranks={bytes([b]): b for b in range(256)})
    return set(map(ord, enc.decode(enc.encode_ordinary(TEXT))))


def hf_engine(prop: str) -> set[int]:
    from tokenizers import Regex, pre_tokenizers
    split = pre_tokenizers.Split(Regex(prop), behavior="removed", invert=True)
    return set(map(ord, "".join(piece for piece, _ in split.pre_tokenize_str(TEXT))))


ENGINES = {"PCRE2": pcre2, "regex": regex_module, "tiktoken": tiktoken_engine,
           "HF tokenizers": hf_engine}


def ranges(points: set[int]) -> str:
    """U+XXXX and U+XXXX..U+YYYY, neighbours joined."""
    out: list[list[int]] = []
    for c in sorted(points):
        if out and c == out[-1][1] + 1:
            out[-1][1] = c
        else:
            out.append([c, c])
    return ", ".join(f"U+{a:04X}" if a == b else f"U+{a:04X}..U+{b:04X}" for a, b in out)


def main() -> None:
    print(f"Python's unicodedata: Unicode {unicodedata.unidata_version}\n")
    print("| property | engines that match | code points |")
    print("|---|---|---|")
    for prop in PROPERTIES:
        sets = {name: ask(prop) for name, ask in ENGINES.items()}
        every = set.union(*sets.values())
        parted = every - set.intersection(*sets.values())
        # One row per group of engines that match the same code points.
        groups: dict[tuple[str, ...], set[int]] = {}
        for c in parted:
            groups.setdefault(tuple(n for n, s in sets.items() if c in s), set()).add(c)
        for engines, points in sorted(groups.items()):
            shown = f"`{prop}`".replace("|", "\\|")
            print(f"| {shown} | {', '.join(engines)} ({len(points)}) | {ranges(points)} |")


if __name__ == "__main__":
    main()
