"""Pre-splitting text into the chunks that training and encoding work on.

Chunks, tried in this order at each position:

- ``'s 't 're 've 'm 'll 'd``: English contractions (ASCII apostrophe);
- `` ?[^\\W\\d_]+``: an optional space, then letters (any script);
- `` ?\\d+``: an optional space, then decimal digits;
- `` ?(?:[^\\s\\w]|_)+``: an optional space, then other symbols (the
  underscore counts as a symbol);
- ``\\s+(?!\\S)``: whitespace up to, not including, the last character of a
  run that a non-space follows (so a space can lead the next chunk), or a
  whole run at the end of the text;
- ``\\s+``: the one whitespace character left over.

Every character is a letter, a digit, a symbol or whitespace, so the chunks
put back together give the text exactly.
"""

from __future__ import annotations

import re

SPLIT_PATTERN = re.compile(
    r"""'(?:s|t|re|ve|m|ll|d)| ?[^\W\d_]+| ?\d+| ?(?:[^\s\w]|_)+|\s+(?!\S)|\s+"""
)


def split(text: str) -> list[str]:
    """Cuts text into chunks; ``"".join(split(text)) == text``."""
    return SPLIT_PATTERN.findall(text)
