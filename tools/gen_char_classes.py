"""Writes the character classes of the split patterns as C++ tables.

    PYTHON tools/gen_char_classes.py OUT.inc
    PYTHON tools/gen_char_classes.py --write-gpt2-data

Each pattern that the splitter knows sorts every code point into Letter,
Digit, Space or Symbol:

- ovilex's own pattern: read off the running interpreter's own ``re``, with
  the very character sets that the pattern uses, so that a module built by an
  interpreter splits exactly as that interpreter's ``re`` does, whatever its
  Unicode version:

    Letter  [^\\W\\d_]      Digit  \\d      Space  \\s      Symbol  [^\\s\\w]|_

- GPT-2's pattern, as the regex engines of the tokenizer libraries that use
  it have it: Letter \\p{L}, Digit \\p{N}, Space the White_Space property
  (their \\s: unlike Python's, without U+001C..U+001F), Symbol the rest. Their
  Unicode version is their own, not the interpreter's, so these classes come
  from GPT2_DATA, the file beside this one. With --write-gpt2-data, the file
  is written anew from the running interpreter's unicodedata and re; a build
  by an interpreter of the file's Unicode version checks the file so.

o200k's pattern tells letters apart further, by the same engines' general
categories: each code point has a letter kind, upper (Lu, Lt), lower (Ll),
other (Lm, Lo), mark (M) or none, from KINDS_DATA beside this file at that
same Unicode version (written anew with --write-gpt2-data too). The upper,
lower and other kinds together must be GPT-2's letters, and marks its
symbols.

Every code point, surrogates included, must fall in exactly one class, and
ASCII must have the classes that the splitter's fast path assumes; anything
else stops the build with a message.

The output is a two-stage table per pattern, included by
src/text/char_class.cpp: CHAR_CLASS_INDEX[pattern] maps each block of 256 code
points to a block of CHAR_CLASS_BLOCKS, which the patterns share (equal blocks
stored once). Block k is the block of U+0000..U+00FF of pattern k, so the
Latin-1 table of pattern k is at k * 256.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
import unicodedata

CODE_POINTS = 0x110000
BLOCK = 256
GPT2_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gpt2_char_classes.txt")
KINDS_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "o200k_letter_kinds.txt")

# Letter kinds, numbered as LetterKind in src/text/char_class.h.
NO_KIND, UPPER, LOWER, OTHER, MARK = 0, 1, 2, 3, 4
KIND_NAMES = {"upper": UPPER, "lower": LOWER, "other": OTHER, "mark": MARK}
KIND_OF_CATEGORY = {"Lu": UPPER, "Lt": UPPER, "Ll": LOWER, "Lm": OTHER, "Lo": OTHER,
                    "Mn": MARK, "Mc": MARK, "Me": MARK}

# Numbering shared with src/text/char_class.h (checked there by static_assert).
SYMBOL, LETTER, DIGIT, SPACE = 0, 1, 2, 3
CLASSES = [
    ("Letter", LETTER, r"[^\W\d_]+"),
    ("Digit", DIGIT, r"\d+"),
    ("Space", SPACE, r"\s+"),
    ("Symbol", SYMBOL, r"(?:[^\s\w]|_)+"),
]
UNSET = 0xFF
NAMES = {value: name for name, value, _ in CLASSES}
DATA_NAMES = {"letter": LETTER, "digit": DIGIT, "space": SPACE}

# The splitter's own code relies on the classes of ASCII: its fast path tests
# these ranges directly, and it looks for "'", the contraction letters and
# U+0020 by value. The patterns differ only in the information separators
# U+001C..U+001F, whitespace to Python and symbols to White_Space.
ASCII_SPACE = {"ovilex": "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f ", "gpt2": "\t\n\x0b\x0c\r "}


def ascii_class(c: str, pattern: str) -> int:
    if "a" <= c <= "z" or "A" <= c <= "Z":
        return LETTER
    if "0" <= c <= "9":
        return DIGIT
    if c in ASCII_SPACE[pattern]:
        return SPACE
    return SYMBOL


class GenerationError(Exception):
    pass


def check_ascii(classes: bytearray, pattern: str) -> None:
    for cp in range(128):
        want = ascii_class(chr(cp), pattern)
        if classes[cp] != want:
            raise GenerationError(
                f"{chr(cp)!r} is {NAMES[classes[cp]]} in the {pattern} classes, the splitter "
                f"needs {NAMES[want]}")


def read_classes() -> bytearray:
    """One class number per code point, from runs found by each class's
    pattern over a string of every code point in order."""
    everything = "".join(map(chr, range(CODE_POINTS)))
    classes = bytearray([UNSET]) * CODE_POINTS
    for name, value, pattern in CLASSES:
        for m in re.finditer(pattern, everything):
            start, end = m.span()
            if classes.count(UNSET, start, end) != end - start:
                taken = next(i for i in range(start, end) if classes[i] != UNSET)
                raise GenerationError(
                    f"U+{taken:04X} is both {NAMES[classes[taken]]} and {name}: "
                    "the classes of the split pattern overlap")
            classes[start:end] = bytes([value]) * (end - start)
    missing = classes.find(UNSET)
    if missing >= 0:
        raise GenerationError(
            f"U+{missing:04X} is in none of Letter, Digit, Space, Symbol")
    check_ascii(classes, "ovilex")
    return classes


def gpt2_from_unicodedata() -> bytearray:
    """GPT-2's classes under the running interpreter's Unicode version."""
    classes = bytearray([SYMBOL]) * CODE_POINTS
    for cp in range(CODE_POINTS):
        major = unicodedata.category(chr(cp))[0]
        if major == "L":
            classes[cp] = LETTER
        elif major == "N":
            classes[cp] = DIGIT
        elif re.match(r"\s", chr(cp)) and not 0x1C <= cp <= 0x1F:
            classes[cp] = SPACE
    return classes


def kinds_from_unicodedata() -> bytearray:
    """The letter kinds under the running interpreter's Unicode version."""
    kinds = bytearray([NO_KIND]) * CODE_POINTS
    for cp in range(CODE_POINTS):
        kinds[cp] = KIND_OF_CATEGORY.get(unicodedata.category(chr(cp)), NO_KIND)
    return kinds


def write_kinds_data() -> None:
    lines = [
        "# The letter kinds of o200k's pattern at the regex engines' Unicode version:",
        "# upper (Lu, Lt), lower (Ll), other (Lm, Lo) and mark (M); every other code",
        "# point has none. Read by tools/gen_char_classes.py, which also writes it",
        "# (--write-gpt2-data).",
        f"unicode {unicodedata.unidata_version}",
    ]
    kinds = kinds_from_unicodedata()
    for name, value in KIND_NAMES.items():
        items = [f"{a:04X}" if a == b else f"{a:04X}-{b:04X}" for a, b in ranges_of(kinds, value)]
        for i in range(0, len(items), 8):
            lines.append(" ".join([name, *items[i : i + 8]]))
    write_atomically(KINDS_DATA, "\n".join(lines) + "\n")


def read_kinds_data(gpt2_version: str, gpt2: bytearray) -> bytearray:
    """The letter kinds that KINDS_DATA holds, checked against GPT-2's
    classes of the same Unicode version."""
    version, kinds = read_ranges(KINDS_DATA, KIND_NAMES, NO_KIND, "kind", "kinds")
    if version != gpt2_version:
        raise GenerationError(f"{KINDS_DATA} is for Unicode {version or '(none)'}, "
                              f"{GPT2_DATA} for {gpt2_version}")
    if version == unicodedata.unidata_version and kinds != kinds_from_unicodedata():
        raise GenerationError(f"{KINDS_DATA} is not what Unicode {version} gives: "
                              "rewrite it with --write-gpt2-data")
    for cp in range(CODE_POINTS):
        letter = kinds[cp] in (UPPER, LOWER, OTHER)
        if letter != (gpt2[cp] == LETTER) or (kinds[cp] == MARK and gpt2[cp] != SYMBOL):
            raise GenerationError(f"U+{cp:04X} has the kind {kinds[cp]} but is "
                                  f"{NAMES[gpt2[cp]]} to GPT-2's classes")
    return kinds


def ranges_of(classes: bytearray, value: int) -> list[tuple[int, int]]:
    out: list[tuple[int, int]] = []
    cp = classes.find(value)
    while cp >= 0:
        end = cp
        while end + 1 < CODE_POINTS and classes[end + 1] == value:
            end += 1
        out.append((cp, end))
        cp = classes.find(value, end + 1)
    return out


def write_gpt2_data() -> None:
    lines = [
        "# GPT-2's character classes as the tokenizer libraries' regex engines have them:",
        "# the code points of \\p{L} (letter), \\p{N} (digit) and White_Space (space), at",
        "# those engines' Unicode version; every other code point is a symbol. Read by",
        "# tools/gen_char_classes.py, which also writes it (--write-gpt2-data).",
        f"unicode {unicodedata.unidata_version}",
    ]
    classes = gpt2_from_unicodedata()
    for name, value in DATA_NAMES.items():
        items = [f"{a:04X}" if a == b else f"{a:04X}-{b:04X}" for a, b in ranges_of(classes, value)]
        for i in range(0, len(items), 8):
            lines.append(" ".join([name, *items[i : i + 8]]))
    write_atomically(GPT2_DATA, "\n".join(lines) + "\n")


def read_ranges(path: str, names: dict[str, int], default: int,
                noun: str, plural: str) -> tuple[str, bytearray]:
    """The Unicode version and the table of a data file of ranges: lines
    "unicode VERSION" and "NAME FIRST[-LAST]...", in hexadecimal; a code
    point named nowhere has the default value, one named twice is an error."""
    version = ""
    table = bytearray([default]) * CODE_POINTS
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "unicode" and len(words) == 2:
                version = words[1]
                continue
            if words[0] not in names:
                raise GenerationError(f"{path}:{number}: unknown {noun} {words[0]!r}")
            for item in words[1:]:
                first, _, last = item.partition("-")
                a, b = int(first, 16), int(last or first, 16)
                if not a <= b < CODE_POINTS or table.count(default, a, b + 1) != b + 1 - a:
                    raise GenerationError(f"{path}:{number}: {item} is out of range or "
                                          f"of two {plural}")
                table[a : b + 1] = bytes([names[words[0]]]) * (b + 1 - a)
    return version, table


def read_gpt2_data() -> tuple[str, bytearray]:
    """The Unicode version and the classes that GPT2_DATA holds."""
    version, classes = read_ranges(GPT2_DATA, DATA_NAMES, SYMBOL, "class", "classes")
    if not version:
        raise GenerationError(f"{GPT2_DATA} names no Unicode version")
    if version == unicodedata.unidata_version and classes != gpt2_from_unicodedata():
        raise GenerationError(f"{GPT2_DATA} is not what Unicode {version} gives: "
                              "rewrite it with --write-gpt2-data")
    check_ascii(classes, "gpt2")
    return version, classes


def two_stage(tables: list[bytearray]) -> tuple[list[list[int]], list[bytes]]:
    """An index per table into blocks that all share; block k is the
    first block of table k."""
    blocks = [bytes(table[:BLOCK]) for table in tables]
    seen: dict[bytes, int] = {}
    for number, block in enumerate(blocks):
        seen.setdefault(block, number)
    indexes: list[list[int]] = []
    for table in tables:
        index: list[int] = []
        for start in range(0, CODE_POINTS, BLOCK):
            block = bytes(table[start : start + BLOCK])
            if block not in seen:
                seen[block] = len(blocks)
                blocks.append(block)
            index.append(seen[block])
        index[0] = len(indexes)
        indexes.append(index)
    if len(blocks) > 256:
        raise GenerationError(f"{len(blocks)} distinct blocks do not fit a one-byte index")
    return indexes, blocks


def rows(values, per_line: int) -> str:
    return "\n".join(
        "    " + ",".join(map(str, values[i : i + per_line])) + ","
        for i in range(0, len(values), per_line))


def render(indexes: list[list[int]], blocks: list[bytes], gpt2_version: str) -> str:
    version = sys.version.split()[0]
    body = [
        f"// Generated by tools/gen_char_classes.py: ovilex's classes from Python {version}'s re",
        f"// (Unicode {unicodedata.unidata_version}), GPT-2's for Unicode {gpt2_version}. Do not edit.",
        "",
        f"inline constexpr int GENERATED_SYMBOL = {SYMBOL};",
        f"inline constexpr int GENERATED_LETTER = {LETTER};",
        f"inline constexpr int GENERATED_DIGIT = {DIGIT};",
        f"inline constexpr int GENERATED_SPACE = {SPACE};",
        f"inline constexpr std::size_t GENERATED_PATTERN_COUNT = {len(indexes)};",
        f"inline constexpr std::size_t GENERATED_BLOCK_COUNT = {len(blocks)};",
        "",
        f"const std::uint8_t CHAR_CLASS_INDEX[{len(indexes)}][{len(indexes[0])}] = {{",
    ]
    for number, index in enumerate(indexes):
        body += [f"  // pattern {number}", "  {", rows(index, 32), "  },"]
    body += [
        "};",
        "",
        f"const std::uint8_t CHAR_CLASS_BLOCKS[{len(blocks) * BLOCK}] = {{",
    ]
    for number, block in enumerate(blocks):
        body.append(f"    // block {number}")
        body.append(rows(list(block), 64))
    body += ["};", ""]
    return "\n".join(body)


def render_kinds(index: list[int], blocks: list[bytes]) -> str:
    body = [
        f"const std::uint8_t LETTER_KIND_INDEX[{len(index)}] = {{",
        rows(index, 32),
        "};",
        "",
        f"const std::uint8_t LETTER_KIND_BLOCKS[{len(blocks) * BLOCK}] = {{",
    ]
    for number, block in enumerate(blocks):
        body.append(f"    // block {number}")
        body.append(rows(list(block), 64))
    body += ["};", ""]
    return "\n".join(body)


def write_atomically(path: str, text: str) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".char_classes.", suffix=".tmp")
    try:
        os.fchmod(fd, 0o644)  # mkstemp's 0600 would hide the file from other users
        with os.fdopen(fd, "w", encoding="ascii") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def main(argv: list[str]) -> int:
    try:
        if argv[1:] == ["--write-gpt2-data"]:
            write_gpt2_data()
            write_kinds_data()
            return 0
        if len(argv) != 2 or argv[1].startswith("-"):
            print(f"usage: {argv[0]} OUT.inc | --write-gpt2-data", file=sys.stderr)
            return 2
        gpt2_version, gpt2 = read_gpt2_data()
        indexes, blocks = two_stage([read_classes(), gpt2])
        kind_indexes, kind_blocks = two_stage([read_kinds_data(gpt2_version, gpt2)])
    except GenerationError as e:
        print(f"gen_char_classes: {e}", file=sys.stderr)
        return 1
    write_atomically(argv[1], render(indexes, blocks, gpt2_version)
                     + render_kinds(kind_indexes[0], kind_blocks))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
