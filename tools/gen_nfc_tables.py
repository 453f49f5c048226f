"""Writes the tables of Unicode's canonical composition (NFC) as C++.

    PYTHON tools/gen_nfc_tables.py OUT.inc

Everything comes from the running interpreter's unicodedata, whose Unicode
version the output names (Python 3.14: Unicode 16.0.0); the tests hold the
normalizer to that interpreter's unicodedata.normalize("NFC", ...).

- NFC_CCC: each code point's canonical combining class;
- NFC_FLAGS: its quick check, Yes (0), Maybe (1: it may compose with what
  precedes it, as the second of a pair or through the first code point of
  its decomposition) or No (2: it never stands in NFC text), plus DECOMPOSES (4) when it has a canonical decomposition other
  than Hangul's, which is computed, and BOUNDARY (8) when normalizing the
  text before it and the text from it apart gives the whole: quick check
  Yes, class 0, and the first code point of its decomposition a starter of
  quick check Yes too;
- NFC_DECOMP_*: the full canonical decomposition of each such code point,
  in canonical order, by binary search on the sorted code points;
- NFC_COMPOSE_*: the primary composites, the pairs that compose (composition
  exclusions, singletons and decompositions that begin with a non-starter
  left out), keyed by first << 21 | second, sorted; Hangul's are computed.

NFC_CCC and NFC_FLAGS are two-stage tables as in tools/gen_char_classes.py:
NFC_INDEX[table][cp >> 8] picks a block of 256 bytes in NFC_BLOCKS, and
block k is U+0000..U+00FF of table k. The normalizer's fast path rests on
every code point below U+0300 being a starter of quick check Yes, and on
whitespace composing with nothing; both are checked here.
"""

from __future__ import annotations

import os
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gen_char_classes import (CODE_POINTS, GenerationError, rows,  # noqa: E402
                              two_stage, write_atomically)

YES, MAYBE, NO = 0, 1, 2
DECOMPOSES = 4
BOUNDARY = 8
HANGUL_FIRST, HANGUL_LAST = 0xAC00, 0xD7A3
FAST_BELOW = 0x300


def is_hangul(cp: int) -> bool:
    return HANGUL_FIRST <= cp <= HANGUL_LAST


def canonical_pair(cp: int) -> tuple[int, ...] | None:
    """The one-level canonical decomposition, or None."""
    d = unicodedata.decomposition(chr(cp))
    if not d or d.startswith("<"):
        return None
    return tuple(int(x, 16) for x in d.split())


def tables() -> tuple[bytearray, bytearray, dict[int, str], dict[tuple[int, int], int]]:
    ccc = bytearray(CODE_POINTS)
    flags = bytearray(CODE_POINTS)
    decomps: dict[int, str] = {}
    pairs: dict[tuple[int, int], int] = {}
    for cp in range(CODE_POINTS):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        ccc[cp] = unicodedata.combining(c)
        if unicodedata.normalize("NFC", c) != c:
            flags[cp] = NO
        if is_hangul(cp):
            continue
        one = canonical_pair(cp)
        if one is None:
            continue
        flags[cp] |= DECOMPOSES
        decomps[cp] = unicodedata.normalize("NFD", c)
        if len(one) == 2 and flags[cp] & 3 != NO:
            pairs[one] = cp
    for _, second in pairs:
        if flags[second] & 3 == NO:
            raise GenerationError(f"U+{second:04X} composes but never stands in NFC text")
        flags[second] = (flags[second] & ~3) | MAYBE
    # Hangul: the vowels and trailing consonants compose with what precedes.
    for cp in [*range(0x1161, 0x1176), *range(0x11A8, 0x11C3)]:
        flags[cp] = (flags[cp] & ~3) | MAYBE
    # A code point whose decomposition begins with one that composes with
    # what precedes it does so too: U+16D68 (U+16D67 U+16D67) after U+16D63
    # makes U+16D6A.
    for cp, decomp in decomps.items():
        if flags[cp] & 3 == YES and flags[ord(decomp[0])] & 3 == MAYBE:
            flags[cp] = (flags[cp] & ~3) | MAYBE
    for cp in range(CODE_POINTS):
        if ccc[cp] == 0 and flags[cp] & 3 == YES:
            first = ord(decomps[cp][0]) if cp in decomps else cp
            if ccc[first] == 0 and flags[first] & 3 == YES:
                flags[cp] |= BOUNDARY
    for cp in range(FAST_BELOW):
        if not flags[cp] & BOUNDARY:
            raise GenerationError(f"U+{cp:04X} is not a boundary: the normalizer's fast path "
                                  "needs every code point below U+0300 to be one")
    firsts = {first for first, _ in pairs}
    for cp in range(CODE_POINTS):
        if chr(cp).isspace() and (cp in firsts or flags[cp] & 3 == MAYBE or ccc[cp]):
            raise GenerationError(f"whitespace U+{cp:04X} composes: the cut rules of "
                                  "normalized text rest on it never doing so")
    return ccc, flags, decomps, pairs


def render(ccc: bytearray, flags: bytearray, decomps: dict[int, str],
           pairs: dict[tuple[int, int], int]) -> str:
    indexes, blocks = two_stage([ccc, flags])
    keys = sorted(decomps)
    offsets, pool = [], []
    for cp in keys:
        offsets.append(len(pool))
        pool.extend(map(ord, decomps[cp]))
    offsets.append(len(pool))
    composed = sorted((first << 21 | second, cp) for (first, second), cp in pairs.items())
    body = [
        f"// Generated by tools/gen_nfc_tables.py from Python {sys.version.split()[0]}'s "
        f"unicodedata. Do not edit.",
        "",
        f'inline constexpr char NFC_UNICODE_VERSION[] = "{unicodedata.unidata_version}";',
        f"inline constexpr std::uint8_t NFC_MAYBE = {MAYBE};",
        f"inline constexpr std::uint8_t NFC_NO = {NO};",
        f"inline constexpr std::uint8_t NFC_DECOMPOSES = {DECOMPOSES};",
        f"inline constexpr std::uint8_t NFC_BOUNDARY = {BOUNDARY};",
        f"inline constexpr std::size_t NFC_BLOCK_COUNT = {len(blocks)};",
        "",
        f"const std::uint8_t NFC_INDEX[2][{len(indexes[0])}] = {{",
    ]
    for name, index in zip(("ccc", "flags"), indexes):
        body += [f"  // {name}", "  {", rows(index, 32), "  },"]
    body += ["};", "", f"const std::uint8_t NFC_BLOCKS[{len(blocks) * 256}] = {{"]
    for number, block in enumerate(blocks):
        body += [f"    // block {number}", rows(list(block), 64)]
    body += [
        "};",
        "",
        f"const char32_t NFC_DECOMP_KEYS[{len(keys)}] = {{",
        rows(keys, 16),
        "};",
        f"const std::uint16_t NFC_DECOMP_OFFSETS[{len(offsets)}] = {{",
        rows(offsets, 16),
        "};",
        f"const char32_t NFC_DECOMP_POOL[{len(pool)}] = {{",
        rows(pool, 16),
        "};",
        "",
        f"const std::uint64_t NFC_COMPOSE_KEYS[{len(composed)}] = {{",
        rows([k for k, _ in composed], 8),
        "};",
        f"const char32_t NFC_COMPOSE_VALUES[{len(composed)}] = {{",
        rows([v for _, v in composed], 16),
        "};",
        "",
    ]
    return "\n".join(body)


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[1].startswith("-"):
        print(f"usage: {argv[0]} OUT.inc", file=sys.stderr)
        return 2
    try:
        text = render(*tables())
    except GenerationError as e:
        print(f"gen_nfc_tables: {e}", file=sys.stderr)
        return 1
    write_atomically(argv[1], text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
