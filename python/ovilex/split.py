"""Pre-splitting text into the chunks that training and encoding work on.

A chunk is the longest match of the first of these alternatives that matches
at the current position (Python's ``re`` with its Unicode classes):

=============================  ==============================================
``'(?:s|t|re|ve|m|ll|d)``      an English contraction (ASCII apostrophe):
                               ``'s 't 're 've 'm 'll 'd``
`` ?[^\\W\\d_]+``              an optional space (U+0020 only), then a run
                               of letters: word characters that are neither
                               decimal digits nor ``_``
`` ?\\d+``                     an optional space, then a run of decimal
                               digits of any script (``0-9``, ``٠-٩``, ``०-९``...)
`` ?(?:[^\\s\\w]|_)+``         an optional space, then a run of other
                               symbols; ``_`` counts as a symbol
``\\s+(?!\\S)``                whitespace up to, not including, the last
                               character of a run that a non-space follows
                               (so that a space can lead the next chunk), or
                               a whole run at the end of the text
``\\s+``                       the one whitespace character left over
=============================  ==============================================

Every character is a letter, a digit, a symbol or whitespace, so the chunks
put back together give the text exactly: ``"".join(split(t)) == t``.

What the classes mean outside English:

- Letters of every script are letters: ``"Ελλάδα"``, ``"Москва"`` and
  ``"日本語のテキスト"`` are one chunk each (scripts written without spaces
  stay in one chunk up to the next symbol, digit or space).
- Numerals that are not decimal digits count as letters: ``"x²"`` and
  ``"Ⅻ"`` are letter runs.
- Combining marks (accents written as separate code points, Indic vowel
  signs) are not word characters, so they count as symbols: a decomposed
  ``"é"`` (``e`` then U+0301) gives ``"e"`` and ``"\\u0301"``. Text in
  composed form (NFC) keeps its accented letters whole; nothing here
  normalises.
- Emoji, including their modifiers, joiners and variation selectors, are
  symbols.
- Any whitespace counts as whitespace (no-break space, ideographic space,
  line and paragraph separators), but only the plain space U+0020 can lead
  the next chunk.

Example: ``split("It's  foo_bar 42")`` gives ``It``, ``'s``, `` ``,
`` foo``, ``_``, ``bar``, `` 42``.
"""

from __future__ import annotations

import re

__all__ = ["SPLIT_PATTERN", "split"]

SPLIT_PATTERN: re.Pattern[str] = re.compile(
    r"""'(?:s|t|re|ve|m|ll|d)| ?[^\W\d_]+| ?\d+| ?(?:[^\s\w]|_)+|\s+(?!\S)|\s+"""
)

# A line feed with a non-space on both sides. Each chunk that touches it is
# the one-character whitespace chunk "\n", whether the text goes on or ends
# right after it, so cutting the text after such a line feed and splitting
# the pieces apart gives the same chunks as splitting the whole.
_CUT = re.compile(r"(?<=\S)\n(?=\S)")


def split(text: str) -> list[str]:
    """Cuts text into chunks (see the module's description);
    ``"".join(split(text)) == text``."""
    return SPLIT_PATTERN.findall(text)


def pieces(text: str, size: int) -> list[str]:
    """Cuts text into pieces of about ``size`` characters or more, each cut
    after a line feed that has a non-space on both sides, so that the pieces
    split one by one give exactly the chunks of the whole text. A text
    without such a line feed stays whole."""
    out: list[str] = []
    start = 0
    while len(text) - start > size:
        cut = _CUT.search(text, start + size)
        if cut is None:
            break
        out.append(text[start : cut.end()])
        start = cut.end()
    out.append(text[start:])
    return out
