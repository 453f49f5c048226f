"""decode_string(ids, vocab_list): lookups, the exact KeyError and ValueError
messages, and the position of the first UTF-8 fault."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _ovilex import decode_string

INVALID = "decoded bytes are not valid UTF-8: "


def utf8_fault(data):
    """The detail text for the first UTF-8 fault of |data|, or None, as
    modelled by the interpreter's own strict decoder: it reports the
    maximal-subpart length of the bad sequence as end - start, and
    'unexpected end of data' when the input stops inside a sequence that
    could still be valid."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            assert e.end == len(data)
            return f"incomplete utf-8 byte sequence from index {e.start}"
        return f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


def outcome(ids, vocab):
    """("ok", text), or the exception type and args."""
    try:
        return ("ok", decode_string(ids, vocab))
    except (KeyError, ValueError) as e:
        return (type(e), e.args)


def bad(detail):
    return (ValueError, (INVALID + detail,))


# Worked out by hand from the Unicode standard's rules (well-formed byte
# sequences, maximal subparts), to check the model before trusting it.
UTF8_CASES = [
    (b"", None),
    (b"plain", None),
    (b"\xed\x9f\xbf", None),  # U+D7FF, the last before the surrogates
    (b"\xee\x80\x80", None),  # U+E000, the first after them
    (b"\xf4\x8f\xbf\xbf", None),  # U+10FFFF
    (b"\xf0\x90\x80\x80", None),  # U+10000
    (b"\xe0\xa0\x80", None),  # U+0800
    (b"\xc2\x80", None),  # U+0080
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ab\xbf", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong, never valid
    (b"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong 3-byte
    (b"\xe0\x9f\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
    (b"\xf0\x8f\xbf\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong 4-byte
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
    (b"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf8\x88\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc3(", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe0\xa0(", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xe1\x80\xe1\x80\x80", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"x\xf0\x90\x80(", "invalid utf-8 sequence of 3 bytes from index 1"),
    (b"\xf1\x80\x80\xc3\xa9", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"\xc2\xc2\xa9", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ok\xc3(\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
    (b"a\xc3", "incomplete utf-8 byte sequence from index 1"),
    (b"\xe0\xa0", "incomplete utf-8 byte sequence from index 0"),
    (b"\xe2\x82\xac\xe2\x82", "incomplete utf-8 byte sequence from index 3"),
    (b"\xf0\x90\x80", "incomplete utf-8 byte sequence from index 0"),
    (b"\xf4\x8f", "incomplete utf-8 byte sequence from index 0"),
    (b"\xed\x9f", "incomplete utf-8 byte sequence from index 0"),
    (b"\xe0", "incomplete utf-8 byte sequence from index 0"),
    # A second byte no sequence of that lead allows: invalid, not incomplete.
    (b"\xe0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xed\xa0", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf0\x8f", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf4\x90", "invalid utf-8 sequence of 1 bytes from index 0"),
]


class TestUtf8Model:
    @pytest.mark.parametrize("data, detail", UTF8_CASES, ids=[repr(c[0]) for c in UTF8_CASES])
    def test_model_agrees_with_hand_worked_cases(self, data, detail):
        assert utf8_fault(data) == detail

    @pytest.mark.parametrize("data, detail", UTF8_CASES, ids=[repr(c[0]) for c in UTF8_CASES])
    def test_one_token(self, data, detail):
        expected = ("ok", data.decode("utf-8")) if detail is None else bad(detail)
        assert outcome([7], {7: data}) == expected

    @pytest.mark.parametrize("data, detail", UTF8_CASES, ids=[repr(c[0]) for c in UTF8_CASES])
    def test_one_token_per_byte(self, data, detail):
        vocab = {300 + b: bytes([b]) for b in range(256)}
        expected = ("ok", data.decode("utf-8")) if detail is None else bad(detail)
        assert outcome([300 + b for b in data], vocab) == expected


class TestDecode:
    @pytest.mark.parametrize(
        "ids, vocab, expected",
        [
            pytest.param([], {}, ("ok", ""), id="nothing"),
            pytest.param([], {1: b"\xff", 2: b"x"}, ("ok", ""), id="no-ids-unused-vocab"),
            pytest.param([104, 105], {104: b"h", 105: b"i"}, ("ok", "hi"), id="hi"),
            pytest.param([1, 2], {1: b"\xc3", 2: b"\xa9"}, ("ok", "\u00e9"), id="split-char"),
            pytest.param([4, 3, 2, 1], {1: b"\x80", 2: b"\x98", 3: b"\x9f", 4: b"\xf0"},
                         ("ok", "\U0001f600"), id="four-byte-char-in-four-tokens"),
            pytest.param([1, 1, 1], {1: b"ab"}, ("ok", "ababab"), id="repeated-id"),
            pytest.param([1, 2, 1, 2], {1: b"x", 2: b""}, ("ok", "xx"), id="empty-token"),
            pytest.param([2, 2], {2: b""}, ("ok", ""), id="only-empty-tokens"),
            pytest.param([0, 65535], {0: b"\x00", 65535: b"\xe6\x97\xa5"}, ("ok", "\x00\u65e5"),
                         id="ids-0-and-65535"),
            pytest.param([1], {1: b"\xff"}, bad("invalid utf-8 sequence of 1 bytes from index 0"),
                         id="ff"),
            pytest.param([1], {1: b"a\xc3"}, bad("incomplete utf-8 byte sequence from index 1"),
                         id="incomplete"),
            pytest.param([1, 2], {1: b"ab", 2: b"c\xc3"},
                         bad("incomplete utf-8 byte sequence from index 3"), id="index-over-tokens"),
            pytest.param([1, 2], {1: b"\xc3", 2: b"a"},
                         bad("invalid utf-8 sequence of 1 bytes from index 0"),
                         id="neighbour-does-not-complete"),
        ],
    )
    def test_case(self, ids, vocab, expected):
        assert outcome(ids, vocab) == expected

    @pytest.mark.parametrize(
        "ids, vocab, unknown",
        [
            pytest.param([5], {}, 5, id="empty-vocab"),
            pytest.param([1, 9], {1: b"\xff"}, 9, id="before-utf8-fault"),
            pytest.param([1, 2, 9], {1: b"\xc3", 2: b"\xc3"}, 9, id="after-invalid-prefix"),
            pytest.param([1, 7, 3, 7], {1: b"a"}, 7, id="first-unknown-in-list-order"),
            pytest.param([65535], {65534: b"a"}, 65535, id="65535"),
            pytest.param([0], {1: b"a"}, 0, id="0"),
        ],
    )
    def test_unknown_id(self, ids, vocab, unknown):
        with pytest.raises(KeyError) as info:
            decode_string(ids, vocab)
        e = info.value
        message = f"unknown token id {unknown} in vocab_list"
        assert type(e) is KeyError
        assert e.args == (message,)
        assert str(e) == repr(message)
        assert e.__cause__ is None

    def test_invalid_utf8_is_a_plain_value_error(self):
        with pytest.raises(ValueError) as info:
            decode_string([1], {1: b"\xff"})
        assert type(info.value) is ValueError
        assert str(info.value) == INVALID + "invalid utf-8 sequence of 1 bytes from index 0"

    @pytest.mark.parametrize(
        "value",
        [b"\xf0\x9f\x98\x80", bytearray(b"\xf0\x9f\x98\x80"), [0xF0, 0x9F, 0x98, 0x80],
         (0xF0, 0x9F, 0x98, 0x80)],
        ids=["bytes", "bytearray", "list", "tuple"],
    )
    def test_value_kinds_decode_like_bytes(self, value):
        assert decode_string([1, 2, 1], {1: value, 2: b"-"}) == "\U0001f600-\U0001f600"
        assert outcome([1], {1: value[:3]}) == bad("incomplete utf-8 byte sequence from index 0")

    def test_result_longer_than_four_bytes_per_id(self):
        ids = [1, 2] * 50_000
        text = decode_string(ids, {1: "\u65e5\U0001f600".encode(), 2: b"\xc3\xa9ab"})
        assert type(text) is str
        assert text == "\u65e5\U0001f600\u00e9ab" * 50_000


# Bytes chosen to hit the edges of the UTF-8 rules often.
UTF8_LIKE_PIECE = st.one_of(
    st.integers(0x00, 0x7F).map(lambda b: bytes([b])),
    st.integers(0x80, 0xBF).map(lambda b: bytes([b])),  # continuation
    st.integers(0xC0, 0xF7).map(lambda b: bytes([b])),  # leads, valid or not
    st.integers(0xF8, 0xFF).map(lambda b: bytes([b])),
    st.sampled_from([b"\xe0\xa0", b"\xe0\x9f", b"\xed\x9f", b"\xed\xa0",
                     b"\xf0\x90", b"\xf0\x8f", b"\xf4\x8f", b"\xf4\x90"]),  # boundary second bytes
    st.characters(exclude_categories=["Cs"]).map(lambda c: c.encode("utf-8")),
)


@st.composite
def tokenised_bytes(draw):
    """A byte string cut into tokens, with ids for them."""
    data = b"".join(draw(st.lists(UTF8_LIKE_PIECE, max_size=16)))
    cuts = sorted(draw(st.sets(st.integers(0, len(data)), max_size=8)))
    bounds = [0, *cuts, len(data)]
    tokens = [data[a:b] for a, b in zip(bounds, bounds[1:])]
    id_of = {}
    for token in tokens:
        if token not in id_of:
            id_of[token] = draw(st.integers(0, 65535).filter(lambda i: i not in id_of.values()))
    return data, [id_of[t] for t in tokens], {i: t for t, i in id_of.items()}


class TestAgainstModel:
    @settings(max_examples=300, deadline=None)
    @given(tokenised_bytes())
    def test_fault_position(self, case):
        data, ids, vocab = case
        detail = utf8_fault(data)
        expected = ("ok", data.decode("utf-8")) if detail is None else bad(detail)
        assert outcome(ids, vocab) == expected

    @settings(max_examples=150, deadline=None)
    @given(tokenised_bytes(), st.data())
    def test_unknown_id_is_reported_before_any_utf8_fault(self, case, data):
        _, ids, vocab = case
        unknown = data.draw(st.integers(0, 65535).filter(lambda i: i not in vocab))
        at = data.draw(st.integers(0, len(ids)))
        ids = ids[:at] + [unknown] + ids[at:] + [unknown]
        assert outcome(ids, vocab) == (KeyError, (f"unknown token id {unknown} in vocab_list",))
