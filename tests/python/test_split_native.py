"""ovilex._native.split against the definition, SPLIT_PATTERN.findall under
this interpreter's re: every code point in several surroundings (alone, any
character is one chunk, so a class shows only beside others), random
mixes weighted toward the characters where the pattern's cases meet, every
kind of str, and the TypeError. Then GPT-2's pattern where its classes part
from ours (test_patterns.py holds it to the tokenizer libraries), the
pattern argument, and the class tables behind both."""

import random
import re
import sys

import pytest

from ovilex import _native, split
from ovilex.split import SPLIT_PATTERN

findall = SPLIT_PATTERN.findall
native_split = _native.split

ALL = "".join(map(chr, range(sys.maxunicode + 1)))  # surrogates included
BLOCK = 0x1000


def first_difference(text):
    """The first chunk where the two splits of |text| part, for a message."""
    got, want = native_split(text), findall(text)
    k = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
    return f"chunk {k}: got {got[k:k + 3]!r}, want {want[k:k + 3]!r}"


class TestEveryCodePoint:
    # Each block of code points laid out as before + c + after for every c,
    # so neighbouring copies meet too.
    @pytest.mark.parametrize("before, after", [
        ("", ""), (" ", ""), ("", " "), ("a", "a"), ("'", "ll"), ("1", "_"),
        ("\n", "\u3000\u3000"), (" ", "'s"),
    ])
    def test_in_context(self, before, after):
        for start in range(0, len(ALL), BLOCK):
            text = "".join(before + c + after for c in ALL[start:start + BLOCK])
            if native_split(text) != findall(text):
                # Name one code point when it fails by itself in the context.
                culprit = next((c for c in ALL[start:start + BLOCK]
                                if native_split(before + c + after) != findall(before + c + after)),
                               None)
                if culprit is None:
                    pytest.fail(f"block U+{start:04X} in {before!r}+c+{after!r}: "
                                + first_difference(text))
                pytest.fail(f"U+{ord(culprit):04X} in {before!r}+c+{after!r}: "
                            + first_difference(before + culprit + after))


# Where the alternatives meet: every kind of whitespace, the apostrophe and
# the contraction letters, digits of other scripts, numerals that are
# letters, "_", combining marks, joiners, emoji, surrogates, wide characters.
TRICKY = (
    "   \n\n\t\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u2028\u2029\u202f\u3000"
    "''''strvemldSa Z"
    "09\u0660\u0669\u0966\u09e6\uff10\U0001d7ce"
    "\xb2\u2167\u2160\xbd"
    "__!.-\u0301\u0903\u200d\ufe0f\U0001f600\U0001f3fb"
    "\ud800\udfff\udbff"
    "\xe9\xdf\u4e2d\u3042\U00020000\U0010ffff"
)


def random_text(rng, length):
    return "".join(rng.choice(TRICKY) if rng.random() < 0.9 else chr(rng.randrange(sys.maxunicode + 1))
                   for _ in range(length))


class TestRandomMixes:
    @pytest.mark.parametrize("seed", range(20))
    def test_short_texts(self, seed):
        rng = random.Random(seed)
        for _ in range(2000):
            text = random_text(rng, rng.randrange(25))
            assert native_split(text) == findall(text), (
                f"seed {seed}, text {text!r}: {first_difference(text)}")

    # Long enough that the split runs without the interpreter lock; each
    # narrower kind by keeping only the characters that fit it.
    @pytest.mark.parametrize("limit", [0x7F, 0xFF, 0xFFFF, sys.maxunicode])
    @pytest.mark.parametrize("seed", range(3))
    def test_long_texts_of_each_kind(self, seed, limit):
        rng = random.Random(seed)
        text = "".join(c for c in random_text(rng, 200_000) if ord(c) <= limit)
        assert native_split(text) == findall(text), f"seed {seed}: {first_difference(text)}"


class TestArguments:
    @pytest.mark.parametrize("text", [
        "", "plain ascii, it's 42", "caf\xe9 \xa0 na\xefve", "\u4e2d\u6587 \u0663\u0664",
        "\U0001f600 x\U00010400", "\ud800 lone \udc00", "\x00\x1c\x1f",
    ])
    def test_kinds(self, text):
        assert native_split(text) == findall(text)

    def test_subclass_gives_plain_str(self):
        class Text(str):
            pass

        chunks = native_split(Text("whole"))
        assert chunks == ["whole"]
        assert all(type(c) is str for c in chunks)

    @pytest.mark.parametrize("value, name", [
        (b"bytes", "bytes"), (None, "NoneType"), (3, "int"), (bytearray(b"x"), "bytearray"),
        (["a"], "list"),
    ])
    def test_type_error(self, value, name):
        with pytest.raises(TypeError, match=rf"^split\(\) argument must be str, not {name}$"):
            native_split(value)

    def test_references_unchanged(self):
        text = "some text, with 42 chunks or so " * 50
        other = object()
        name = "gpt2"
        before = sys.getrefcount(text), sys.getrefcount(other), sys.getrefcount(name)
        for _ in range(100):
            native_split(text)
            native_split(text, name)
            with pytest.raises(TypeError):
                native_split(other)
            with pytest.raises(ValueError):
                native_split(text, other.__class__.__name__)
        assert (sys.getrefcount(text), sys.getrefcount(other), sys.getrefcount(name)) == before


class TestGpt2:
    # Each kind of str, where the classes of the two patterns part: numerals
    # that are letters to re and numbers to GPT-2, and U+001C..U+001F.
    @pytest.mark.parametrize("text, ovilex, gpt2", [
        ("x\xb2", ["x\xb2"], ["x", "\xb2"]),
        ("a\x1c\x1cb", ["a", "\x1c", "\x1c", "b"], ["a", "\x1c\x1c", "b"]),
        ("\u216b1 \u3007", ["\u216b", "1", " \u3007"], ["\u216b1", " \u3007"]),
        ("\U00010107\U0001d7ce", ["\U00010107", "\U0001d7ce"], ["\U00010107\U0001d7ce"]),
        ("it's \ud800_x\x85", ["it", "'s", " \ud800_", "x", "\x85"],
         ["it", "'s", " \ud800_", "x", "\x85"]),
    ])
    def test_where_classes_part(self, text, ovilex, gpt2):
        assert native_split(text) == native_split(text, None) == split(text) == ovilex
        assert native_split(text, "ovilex") == split(text, "ovilex") == ovilex
        assert native_split(text, pattern="gpt2") == split(text, "gpt2") == gpt2

    @pytest.mark.parametrize("pattern", ["pcre", "GPT2", "", "gpt2\0", "\ud800"])
    def test_unknown_name(self, pattern):
        message = (f"unknown split pattern {pattern!r}: the supported ones are 'ovilex', 'gpt2', "
                   "'cl100k', 'llama3', 'qwen2' and 'o200k'")
        for call in (lambda: native_split("text", pattern),
                     lambda: _native.char_class_ranges(pattern)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == message

    @pytest.mark.parametrize("function, args, kwargs, message", [
        ("split", ("text", b"gpt2"), {},
         "split() argument 'pattern' must be str or None, not bytes"),
        ("char_class_ranges", (1,), {},
         "char_class_ranges() argument 'pattern' must be str or None, not int"),
        ("split", (), {"text": "x"},
         "split() got some positional-only arguments passed as keyword arguments: 'text'"),
    ])
    def test_type_errors(self, function, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            getattr(_native, function)(*args, **kwargs)
        assert str(info.value) == message


class TestClassRanges:
    @pytest.mark.parametrize("pattern", ["ovilex", "gpt2"])
    def test_every_code_point_once(self, pattern):
        ranges = _native.char_class_ranges(pattern)
        assert sorted(ranges) == ["digit", "letter", "space", "symbol"]
        spans = sorted(r for rs in ranges.values() for r in rs)
        assert spans[0][0] == 0 and spans[-1][1] == sys.maxunicode
        assert all(b[0] == a[1] + 1 for a, b in zip(spans, spans[1:]))

    # Ours: maximal runs of each class of SPLIT_PATTERN under this re.
    @pytest.mark.parametrize("name, regex", [
        ("letter", r"[^\W\d_]+"), ("digit", r"\d+"), ("space", r"\s+"),
        ("symbol", r"(?:[^\s\w]|_)+"),
    ])
    def test_ovilex_classes_are_re_ones(self, name, regex):
        runs = [(m.start(), m.end() - 1) for m in re.finditer(regex, ALL)]
        assert list(_native.char_class_ranges()[name]) == runs
