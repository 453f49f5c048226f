"""Pre-splitting text into the chunks that training and encoding work on.

ovilex's own pattern (``pattern="ovilex"``, the default) is described first;
GPT-2's (``pattern="gpt2"``), the cl100k family and o200k's after it.

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

Files are read in blocks and cut where splitting the two sides apart gives
the chunks of the whole, whatever follows: after a whitespace character
other than U+0020 that stands alone between non-spaces; between a non-space
and whitespace; or between two non-spaces of different classes (letter,
digit, symbol), unless the first is an apostrophe that may begin a
contraction.

GPT-2's pattern, ``GPT2_PATTERN`` (ovilex.patterns), as Hugging Face
tokenizers' ByteLevel pre-tokenizer and tiktoken's "gpt2" encoding run it,
has the same rules and the same seven contractions over the classes of those
libraries' regex engines, which differ from the ones above:

- letters are ``\\p{L}`` alone: ``"x²"`` gives ``x`` and ``²``, since
- numbers are all of ``\\p{N}``: decimal digits, letter numerals (``"Ⅻ"``)
  and other numerals (``"²"``, ``"½"``);
- ``_`` and combining marks are symbols, as above;
- whitespace is the White_Space property, which leaves out the information
  separators U+001C..U+001F (symbols there);
- the Unicode version is the libraries' (16.0), whatever the interpreter's.

The cl100k family (``pattern="cl100k"``, ``"llama3"``, ``"qwen2"``; the
regular expressions are in ovilex.patterns) has GPT-2's classes and other
rules, exactly as tiktoken and the regex module run them:

- contractions ignore case, as those engines fold it (``'S``, ``'Ll``, and
  ``'ſ`` with the long s U+017F);
- one symbol or whitespace character other than CR and LF leads a run of
  letters (``"!abc"``, ``"\\tabc"`` and ``" abc"`` are one chunk each);
- numbers go in chunks of up to three digits (``"1234"`` gives ``123`` and
  ``4``), one digit each under qwen2; no space leads them;
- a space may lead a run of symbols, and the CR and LF right after the run
  join it (``" !!\\n"``);
- whitespace goes up to the last CR or LF of its run; otherwise as GPT-2's
  (the last character left to lead what follows); a run that ends the text
  is one chunk under cl100k, while llama3 and qwen2 first end a chunk at its
  last CR or LF (``"\\n "``: one chunk, or ``"\\n"`` and ``" "``).

o200k's pattern (``pattern="o200k"``, ``O200K_PATTERN`` in ovilex.patterns)
splits words by letter case, exactly as tiktoken and the regex module run it:

- a word is upper case letters (Lu, Lt) then lower case ones (Ll), with
  other letters (Lm, Lo) and marks (M) taken by either part, led by one
  symbol, mark or whitespace character other than CR and LF:
  ``"HelloWORLD"`` gives ``Hello`` and ``WORLD``, ``"WORLDWide"`` stays one;
- a contraction ends the word before it (``"He's"`` is one chunk), case
  folded as under cl100k;
- numbers and whitespace as under llama3; symbol runs, which hold marks,
  take the CR, LF and ``/`` after them.
"""

from __future__ import annotations

import re

from . import _native
from .patterns import OVILEX_PATTERN, split_rules

__all__ = ["SPLIT_PATTERN", "split"]

# The definition: the native splitter gives exactly what this pattern gives
# under the running interpreter's re (its character classes are read off
# that re when the module is built), and the tests hold it to that.
SPLIT_PATTERN: re.Pattern[str] = re.compile(OVILEX_PATTERN)


def split(text: str, pattern: str | None = None) -> list[str]:
    """Cuts text into chunks (see the module's description);
    ``"".join(split(text)) == text``. Any str, lone surrogates included.
    pattern: "ovilex" (None), "gpt2", "cl100k", "llama3", "qwen2" or "o200k", by name
    or as its regular expression (see ovilex.patterns.pattern_name). Any
    other regular expression or split steps (ovilex.patterns.split_rules)
    run through PCRE2, on text without lone surrogates: the chunks are then
    the matches, and the text between them is dropped."""
    if pattern is None:
        return _native.split(text)
    return _native.split(text, split_rules(pattern))
