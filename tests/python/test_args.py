"""Argument parsing and conversion of encode_train, encode and decode_string:
messages, the argument prefix, conversion order, the accepted shapes and
reference counts."""

import array
import collections
import gc
import operator
import sys
import types

import pytest

from _ovilex import decode_string, encode, encode_train
from objects import (LONG_OVERFLOW, OUT_OF_RANGE, STR_TO_VEC, ByteArraySub, BytesSub,
                     GetItemRaises, Index, IndexRaises, IntSub, IterNotIterator, IterRaises,
                     LongList, LongTuple, MyTypeError, ReversedList, Seq, StrSub, Unprintable)


def index_error(obj):
    """The interpreter's TypeError text for |obj| used as an integer."""
    try:
        operator.index(obj)
    except TypeError as e:
        return str(e)
    raise AssertionError(f"{obj!r} is an integer")


def raised(call):
    """The exception that call() raises (any BaseException)."""
    try:
        call()
    except BaseException as e:
        return e
    raise AssertionError("no exception raised")


def outcome(call):
    """("ok", result), or the type and args of the exception raised."""
    try:
        return ("ok", call())
    except BaseException as e:
        return (type(e), e.args)


MergePair = collections.namedtuple("MergePair", "left right")
MergeRecord = collections.namedtuple("MergeRecord", "pair new")

# (arguments, result) of a call that the argument forms must all give.
ENCODE_CASE = ((["abc"], [((97, 98), 256)]), [256, 99])
DECODE_CASE = (([104, 105], {104: b"h", 105: b"i"}), "hi")


class TestParsing:
    @pytest.mark.parametrize(
        "call, message",
        [
            # Missing arguments.
            pytest.param(lambda: encode_train(),
                         "encode_train() missing 1 required positional argument: 'chunks'",
                         id="missing-encode_train"),
            pytest.param(lambda: encode(),
                         "encode() missing 2 required positional arguments: 's' and 'merges'",
                         id="missing-encode"),
            pytest.param(lambda: encode(["a"]),
                         "encode() missing 1 required positional argument: 'merges'",
                         id="missing-encode-s"),
            pytest.param(lambda: encode(s=["a"]),
                         "encode() missing 1 required positional argument: 'merges'",
                         id="missing-encode-s-keyword"),
            pytest.param(lambda: encode(merges=[]),
                         "encode() missing 1 required positional argument: 's'",
                         id="missing-encode-merges-keyword"),
            pytest.param(lambda: decode_string(),
                         "decode_string() missing 2 required positional arguments: "
                         "'ids' and 'vocab_list'",
                         id="missing-decode_string"),
            pytest.param(lambda: decode_string([]),
                         "decode_string() missing 1 required positional argument: 'vocab_list'",
                         id="missing-decode_string-ids"),
            pytest.param(lambda: decode_string(vocab_list={}),
                         "decode_string() missing 1 required positional argument: 'ids'",
                         id="missing-decode_string-vocab-keyword"),
            # Too many positional arguments.
            pytest.param(lambda: encode_train(["a"], ["b"]),
                         "encode_train() takes 1 positional arguments but 2 were given",
                         id="too-many-encode_train-2"),
            pytest.param(lambda: encode([], [], []),
                         "encode() takes 2 positional arguments but 3 were given",
                         id="too-many-encode-3"),
            pytest.param(lambda: decode_string([], {}, 3),
                         "decode_string() takes 2 positional arguments but 3 were given",
                         id="too-many-decode_string-3"),
            pytest.param(lambda: decode_string(1, 2, 3, 4),
                         "decode_string() takes 2 positional arguments but 4 were given",
                         id="too-many-decode_string-4"),
            # Counted before any keyword is looked at.
            pytest.param(lambda: encode_train(1, 2, chunks=3, x=4),
                         "encode_train() takes 1 positional arguments but 2 were given",
                         id="too-many-before-keywords"),
            # Unknown keywords.
            pytest.param(lambda: encode(["a"], [], x=1),
                         "encode() got an unexpected keyword argument 'x'", id="unexpected-x"),
            pytest.param(lambda: encode_train(chunk=["a"]),
                         "encode_train() got an unexpected keyword argument 'chunk'",
                         id="unexpected-chunk"),
            pytest.param(lambda: decode_string([], {}, vocab={}),
                         "decode_string() got an unexpected keyword argument 'vocab'",
                         id="unexpected-vocab"),
            pytest.param(lambda: encode(["a"], [], S=[]),
                         "encode() got an unexpected keyword argument 'S'", id="unexpected-case"),
            pytest.param(lambda: encode(["a"], **{"merges\0": []}),
                         "encode() got an unexpected keyword argument 'merges\0'",
                         id="unexpected-nul"),
            pytest.param(lambda: encode(["a"], [], **{"\u00e9": 1}),
                         "encode() got an unexpected keyword argument '\u00e9'",
                         id="unexpected-non-ascii"),
            # A name that has no UTF-8 form matches no parameter.
            pytest.param(lambda: encode(["a"], [], **{"\ud800": 1}),
                         "encode() got an unexpected keyword argument '\ud800'",
                         id="unexpected-surrogate"),
            # Keywords are taken in the order given: x before the duplicate s.
            pytest.param(lambda: encode(["a"], [], x=1, s=2),
                         "encode() got an unexpected keyword argument 'x'",
                         id="unexpected-first-wins"),
            # Reported before missing arguments and before any conversion.
            pytest.param(lambda: encode(x=1),
                         "encode() got an unexpected keyword argument 'x'",
                         id="unexpected-before-missing"),
            pytest.param(lambda: encode("bad", "bad", x=1),
                         "encode() got an unexpected keyword argument 'x'",
                         id="unexpected-before-convert"),
            # An argument given both by position and by keyword.
            pytest.param(lambda: encode(["a"], [], s=["b"]),
                         "encode() got multiple values for argument 's'", id="multiple-s"),
            pytest.param(lambda: encode(["a"], s=["b"], merges=[]),
                         "encode() got multiple values for argument 's'",
                         id="multiple-s-with-merges"),
            pytest.param(lambda: encode(["a"], [], merges=[]),
                         "encode() got multiple values for argument 'merges'",
                         id="multiple-merges"),
            pytest.param(lambda: encode_train(["a"], chunks=["b"]),
                         "encode_train() got multiple values for argument 'chunks'",
                         id="multiple-chunks"),
            pytest.param(lambda: decode_string([], {}, vocab_list={}),
                         "decode_string() got multiple values for argument 'vocab_list'",
                         id="multiple-vocab_list"),
            pytest.param(lambda: encode(["a"], [], s=2, x=1),
                         "encode() got multiple values for argument 's'", id="multiple-first-wins"),
            pytest.param(lambda: encode("bad", s=1),
                         "encode() got multiple values for argument 's'",
                         id="multiple-before-missing"),
        ],
    )
    def test_parse_error(self, call, message):
        e = raised(call)
        assert type(e) is TypeError
        assert str(e) == message

    @pytest.mark.parametrize(
        "call, case",
        [
            pytest.param(lambda s, m: encode(s, m), ENCODE_CASE, id="encode-positional"),
            pytest.param(lambda s, m: encode(s, merges=m), ENCODE_CASE,
                         id="encode-merges-keyword"),
            pytest.param(lambda s, m: encode(s=s, merges=m), ENCODE_CASE, id="encode-keywords"),
            pytest.param(lambda s, m: encode(merges=m, s=s), ENCODE_CASE,
                         id="encode-keywords-swapped"),
            pytest.param(lambda i, v: decode_string(i, v), DECODE_CASE,
                         id="decode_string-positional"),
            pytest.param(lambda i, v: decode_string(i, vocab_list=v), DECODE_CASE,
                         id="decode_string-vocab-keyword"),
            pytest.param(lambda i, v: decode_string(ids=i, vocab_list=v), DECODE_CASE,
                         id="decode_string-keywords"),
            pytest.param(lambda i, v: decode_string(vocab_list=v, ids=i), DECODE_CASE,
                         id="decode_string-keywords-swapped"),
        ],
    )
    def test_keywords_in_any_order(self, call, case):
        args, expected = case
        assert call(*args) == expected

    def test_encode_train_keyword_reaches_conversion(self):
        e = raised(lambda: encode_train(chunks="abc"))
        assert str(e) == "argument 'chunks': " + STR_TO_VEC


def _prefixed_cases():
    """(call, argument name, message after the prefix)."""
    float_text = index_error(1.0)
    return [
        # chunks
        ("chunks-str", lambda: encode_train("abc"), "chunks", STR_TO_VEC),
        ("chunks-set", lambda: encode_train({"a"}), "chunks",
         "'set' object cannot be cast as 'Sequence'"),
        ("chunks-none", lambda: encode_train(None), "chunks",
         "'NoneType' object cannot be cast as 'Sequence'"),
        ("chunks-int-item", lambda: encode_train([1]), "chunks",
         "'int' object cannot be cast as 'str'"),
        ("chunks-bytes-item", lambda: encode_train(["a", b"b"]), "chunks",
         "'bytes' object cannot be cast as 'str'"),
        # s
        ("s-str", lambda: encode("abc", []), "s", STR_TO_VEC),
        ("s-str-subclass", lambda: encode(StrSub("abc"), []), "s", STR_TO_VEC),
        ("s-set", lambda: encode({"a"}, []), "s", "'set' object cannot be cast as 'Sequence'"),
        ("s-frozenset", lambda: encode(frozenset(), []), "s",
         "'frozenset' object cannot be cast as 'Sequence'"),
        ("s-dict", lambda: encode({"a": 1}, []), "s", "'dict' object cannot be cast as 'Sequence'"),
        ("s-generator", lambda: encode((c for c in "ab"), []), "s",
         "'generator' object cannot be cast as 'Sequence'"),
        ("s-iterator", lambda: encode(iter(["a"]), []), "s",
         "'list_iterator' object cannot be cast as 'Sequence'"),
        ("s-dict-keys", lambda: encode({"a": 1}.keys(), []), "s",
         "'dict_keys' object cannot be cast as 'Sequence'"),
        ("s-none-item", lambda: encode(["a", None], []), "s",
         "'NoneType' object cannot be cast as 'str'"),
        ("s-nested-item", lambda: encode([["a"]], []), "s", "'list' object cannot be cast as 'str'"),
        # merges
        ("merges-str", lambda: encode([], "abc"), "merges", STR_TO_VEC),
        ("merges-set", lambda: encode([], {((97, 98), 256)}), "merges",
         "'set' object cannot be cast as 'Sequence'"),
        ("merges-list-record", lambda: encode(["a"], [[(97, 98), 256]]), "merges",
         "'list' object cannot be cast as 'tuple'"),
        ("merges-list-pair", lambda: encode(["a"], [([97, 98], 256)]), "merges",
         "'list' object cannot be cast as 'tuple'"),
        ("merges-none-record", lambda: encode([], [None]), "merges",
         "'NoneType' object cannot be cast as 'tuple'"),
        ("merges-int-pair", lambda: encode([], [(97, 256)]), "merges",
         "'int' object cannot be cast as 'tuple'"),
        ("merges-float-new", lambda: encode([], [((97, 98), 1.5)]), "merges", index_error(1.5)),
        ("merges-str-left", lambda: encode([], [(("a", 98), 256)]), "merges", index_error("a")),
        # ids
        ("ids-str", lambda: decode_string("abc", {}), "ids", STR_TO_VEC),
        ("ids-set", lambda: decode_string({1}, {}), "ids",
         "'set' object cannot be cast as 'Sequence'"),
        ("ids-int", lambda: decode_string(5, {}), "ids", "'int' object cannot be cast as 'Sequence'"),
        ("ids-float", lambda: decode_string([1.0], {}), "ids", float_text),
        ("ids-none", lambda: decode_string([None], {}), "ids", index_error(None)),
        ("ids-index-returns-str", lambda: decode_string([Index("x")], {}), "ids",
         index_error(Index("x"))),
        # vocab_list
        ("vocab-list", lambda: decode_string([1], [b"a"]), "vocab_list",
         "'list' object cannot be cast as 'dict'"),
        ("vocab-mappingproxy", lambda: decode_string([], types.MappingProxyType({})), "vocab_list",
         "'mappingproxy' object cannot be cast as 'dict'"),
        ("vocab-str-value", lambda: decode_string([], {1: "a"}), "vocab_list", STR_TO_VEC),
        ("vocab-str-subclass-value", lambda: decode_string([], {1: StrSub("a")}), "vocab_list",
         STR_TO_VEC),
        ("vocab-str-key", lambda: decode_string([], {"a": b"a"}), "vocab_list", index_error("a")),
        ("vocab-float-key", lambda: decode_string([], {1.5: b"a"}), "vocab_list",
         index_error(1.5)),
        ("vocab-set-value", lambda: decode_string([], {1: {2}}), "vocab_list",
         "'set' object cannot be cast as 'Sequence'"),
        ("vocab-int-value", lambda: decode_string([], {1: 97}), "vocab_list",
         "'int' object cannot be cast as 'Sequence'"),
        ("vocab-none-value", lambda: decode_string([], {1: None}), "vocab_list",
         "'NoneType' object cannot be cast as 'Sequence'"),
        ("vocab-float-byte", lambda: decode_string([], {1: [1.0]}), "vocab_list", float_text),
        ("vocab-str-byte", lambda: decode_string([], {1: ["a"]}), "vocab_list", index_error("a")),
    ]


PREFIXED = _prefixed_cases()


class TestArgumentPrefix:
    @pytest.mark.parametrize("call, name, message", [c[1:] for c in PREFIXED],
                             ids=[c[0] for c in PREFIXED])
    def test_type_error_gets_the_prefix(self, call, name, message):
        e = raised(call)
        assert type(e) is TypeError
        assert str(e) == f"argument '{name}': {message}"
        assert e.args == (f"argument '{name}': {message}",)
        assert e.__cause__ is None
        assert e.__suppress_context__ is True

    @pytest.mark.parametrize(
        "call, exc_type, message",
        [
            pytest.param(lambda: decode_string([-1], {}), OverflowError, OUT_OF_RANGE, id="ids--1"),
            pytest.param(lambda: decode_string([65536], {}), OverflowError, OUT_OF_RANGE,
                         id="ids-65536"),
            pytest.param(lambda: decode_string([Index(70000)], {}), OverflowError, OUT_OF_RANGE,
                         id="ids-index-70000"),
            pytest.param(lambda: decode_string([2**70], {}), OverflowError, LONG_OVERFLOW,
                         id="ids-2**70"),
            pytest.param(lambda: decode_string([-(2**70)], {}), OverflowError, LONG_OVERFLOW,
                         id="ids--2**70"),
            pytest.param(lambda: encode([], [((65536, 1), 2)]), OverflowError, OUT_OF_RANGE,
                         id="left-65536"),
            pytest.param(lambda: encode([], [((1, -1), 2)]), OverflowError, OUT_OF_RANGE,
                         id="right--1"),
            pytest.param(lambda: encode(["a"], [((97, 98), 65536)]), OverflowError, OUT_OF_RANGE,
                         id="new-65536"),
            pytest.param(lambda: encode([], [((1, 2), 2**70)]), OverflowError, LONG_OVERFLOW,
                         id="new-2**70"),
            pytest.param(lambda: decode_string([], {-1: b"a"}), OverflowError, OUT_OF_RANGE,
                         id="key--1"),
            pytest.param(lambda: decode_string([], {65536: b"a"}), OverflowError, OUT_OF_RANGE,
                         id="key-65536"),
            pytest.param(lambda: decode_string([], {2**64: b"a"}), OverflowError, LONG_OVERFLOW,
                         id="key-2**64"),
            pytest.param(lambda: decode_string([], {1: [256]}), OverflowError, OUT_OF_RANGE,
                         id="byte-256"),
            pytest.param(lambda: decode_string([], {1: [97, -1]}), OverflowError, OUT_OF_RANGE,
                         id="byte--1"),
            pytest.param(lambda: decode_string([], {1: [65]*3 + [2**70]}), OverflowError,
                         LONG_OVERFLOW, id="byte-2**70"),
            pytest.param(lambda: encode(["a"], [(97, 98, 256)]), ValueError,
                         "expected tuple of length 2, but got tuple of length 3", id="flat-triple"),
            pytest.param(lambda: encode(["a"], [((97,), 256)]), ValueError,
                         "expected tuple of length 2, but got tuple of length 1", id="inner-1"),
            pytest.param(lambda: encode(["a"], [((97, 98, 99), 256)]), ValueError,
                         "expected tuple of length 2, but got tuple of length 3", id="inner-3"),
            pytest.param(lambda: encode(["a"], [()]), ValueError,
                         "expected tuple of length 2, but got tuple of length 0", id="empty"),
            pytest.param(lambda: encode(["a"], [((97, 98), 256, 1, 2)]), ValueError,
                         "expected tuple of length 2, but got tuple of length 4", id="outer-4"),
        ],
    )
    def test_other_types_are_not_prefixed(self, call, exc_type, message):
        e = raised(call)
        assert type(e) is exc_type
        assert e.args == (message,)

    @pytest.mark.parametrize(
        "call, text",
        [
            pytest.param(lambda: encode(["a\ud800"], []), "a\ud800", id="s"),
            pytest.param(lambda: encode(["ok", "\udfff"], []), "\udfff", id="s-second"),
            pytest.param(lambda: encode_train(["\udc80x"]), "\udc80x", id="chunks"),
        ],
    )
    def test_lone_surrogate_is_the_interpreters_unicode_error(self, call, text):
        e = raised(call)
        model = raised(lambda: text.encode("utf-8"))
        assert type(e) is UnicodeEncodeError
        assert str(e) == str(model)
        assert (e.encoding, e.object, e.start, e.end, e.reason) == (
            model.encoding, model.object, model.start, model.end, model.reason)

    @pytest.mark.parametrize(
        "exc",
        [MyTypeError("sub"), OverflowError("over"), ValueError("bad"), RuntimeError("run"),
         KeyError("key"), UnicodeEncodeError("utf-8", "x", 0, 1, "no")],
        ids=lambda e: type(e).__name__,
    )
    @pytest.mark.parametrize(
        "where",
        ["ids-index", "left-index", "new-index", "key-index", "byte-index", "s-getitem",
         "ids-iter", "vocab-value-getitem"],
    )
    def test_caller_errors_other_than_exact_type_error_pass_unchanged(self, exc, where):
        e = raised(_call_raising(where, exc))
        assert e is exc
        assert "argument" not in str(e)

    @pytest.mark.parametrize(
        "where, name",
        [("ids-index", "ids"), ("left-index", "merges"), ("new-index", "merges"),
         ("key-index", "vocab_list"), ("byte-index", "vocab_list"), ("s-getitem", "s"),
         ("ids-iter", "ids"), ("vocab-value-getitem", "vocab_list")],
    )
    def test_caller_exact_type_error_gets_the_prefix(self, where, name):
        original = TypeError("boom")
        e = raised(_call_raising(where, original))
        assert type(e) is TypeError
        assert e is not original
        assert e.args == (f"argument '{name}': boom",)
        assert e.__cause__ is None
        assert e.__suppress_context__ is True

    @pytest.mark.parametrize("where", ["ids-index", "s-getitem", "key-index"])
    def test_prefixed_error_keeps_the_cause_of_the_original(self, where):
        root = LookupError("root")
        try:
            raise TypeError("boom") from root
        except TypeError as e:
            original = e
        e = raised(_call_raising(where, original))
        assert type(e) is TypeError
        assert str(e).endswith(": boom")
        assert e.__cause__ is root
        assert e.__suppress_context__ is True

    def test_unprintable_type_error(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        original = TypeError(Unprintable())
        e = raised(lambda: decode_string([IndexRaises(original)], {}))
        assert type(e) is TypeError
        assert e.args == ("argument 'ids': <unprintable TypeError object>",)
        assert len(reports) == 1
        assert reports[0].exc_type is RuntimeError
        assert str(reports[0].exc_value) == "no text"


def _call_raising(where, exc):
    """A call in which the caller's object raises |exc| at |where|."""
    return {
        "ids-index": lambda: decode_string([1, IndexRaises(exc)], {}),
        "left-index": lambda: encode([], [((IndexRaises(exc), 1), 2)]),
        "new-index": lambda: encode([], [((1, 2), IndexRaises(exc))]),
        "key-index": lambda: decode_string([], {IndexRaises(exc): b"a"}),
        "byte-index": lambda: decode_string([], {1: [97, IndexRaises(exc)]}),
        "s-getitem": lambda: encode(GetItemRaises(exc), []),
        "ids-iter": lambda: decode_string(IterRaises([1], exc), {}),
        "vocab-value-getitem": lambda: decode_string([], {1: GetItemRaises(exc)}),
    }[where]


class TestConversionOrder:
    @pytest.mark.parametrize(
        "call, exc_type, message",
        [
            pytest.param(lambda: encode("bad", "bad"), TypeError,
                         "argument 's': " + STR_TO_VEC, id="s-before-merges"),
            pytest.param(lambda: encode(["a", 1], [None]), TypeError,
                         "argument 's': 'int' object cannot be cast as 'str'",
                         id="s-item-before-merges"),
            pytest.param(lambda: encode(["a\ud800"], {1}), UnicodeEncodeError, None,
                         id="s-unicode-before-merges"),
            pytest.param(lambda: decode_string("bad", "bad"), TypeError,
                         "argument 'ids': " + STR_TO_VEC, id="ids-before-vocab"),
            pytest.param(lambda: decode_string([70000], {"a": "b"}), OverflowError, OUT_OF_RANGE,
                         id="ids-overflow-before-vocab"),
            # Within one merge: left, right, new.
            pytest.param(lambda: encode([], [((1.5, 70000), 70000)]), TypeError,
                         "argument 'merges': " + index_error(1.5), id="left-first"),
            pytest.param(lambda: encode([], [((1, 70000), 1.5)]), OverflowError, OUT_OF_RANGE,
                         id="right-before-new"),
            pytest.param(lambda: encode([], [((1, 2), 1.5)]), TypeError,
                         "argument 'merges': " + index_error(1.5), id="new"),
            # The outer tuple is checked before the inner one.
            pytest.param(lambda: encode([], [((1, 2, 3), 4, 5)]), ValueError,
                         "expected tuple of length 2, but got tuple of length 3",
                         id="outer-length-first"),
            pytest.param(lambda: encode([], [([1], 70000)]), TypeError,
                         "argument 'merges': 'list' object cannot be cast as 'tuple'",
                         id="inner-before-new"),
            # Items in sequence order.
            pytest.param(lambda: encode([], [((1, 2), 70000), None]), OverflowError, OUT_OF_RANGE,
                         id="first-merge-first"),
            pytest.param(lambda: decode_string([1.5, 70000], {}), TypeError,
                         "argument 'ids': " + index_error(1.5), id="first-id-first"),
            # The key of an entry before its value.
            pytest.param(lambda: decode_string([], {1.5: "x"}), TypeError,
                         "argument 'vocab_list': " + index_error(1.5), id="key-before-value"),
            pytest.param(lambda: decode_string([], {70000: "x"}), OverflowError, OUT_OF_RANGE,
                         id="key-overflow-before-value"),
        ],
    )
    def test_first_failure_in_order_is_reported(self, call, exc_type, message):
        e = raised(call)
        assert type(e) is exc_type
        if message is not None:
            assert str(e) == message

    def test_s_is_converted_completely_before_merges(self):
        log = []
        s = Seq(["ab", "c"], log=log, tag="s")
        merges = Seq([((97, 98), 256)], log=log, tag="merges")
        assert encode(s, merges) == [256, 99]
        assert log == [("s", 0), ("s", 1), ("s", 2), ("merges", 0), ("merges", 1)]

    def test_conversion_stops_at_the_first_bad_item(self):
        log = []
        s = Seq(["a", 1, "b"], log=log, tag="s")
        merges = Seq([], log=log, tag="merges")
        e = raised(lambda: encode(s, merges))
        assert str(e) == "argument 's': 'int' object cannot be cast as 'str'"
        assert log == [("s", 0), ("s", 1)]

    def test_ids_then_vocab_entries_in_dict_order_key_before_value(self):
        log = []
        ids = [Index(1, log), Index(2, log)]
        vocab = {Index(2, log): Seq([105], log=log, tag="value2"),
                 Index(1, log): Seq([104], log=log, tag="value1")}
        assert decode_string(ids, vocab) == "hi"
        assert log == [("index", 1), ("index", 2),
                       ("index", 2), ("value2", 0), ("value2", 1),
                       ("index", 1), ("value1", 0), ("value1", 1)]


SEQUENCE_SHAPES = [
    pytest.param(list, id="list"),
    pytest.param(tuple, id="tuple"),
    pytest.param(collections.deque, id="deque"),
    pytest.param(Seq, id="getitem-len"),
    pytest.param(lambda items: Seq(items, length=0), id="len-0"),
    pytest.param(lambda items: Seq(items, length=1), id="len-1"),
    pytest.param(lambda items: Seq(items, length=10**15), id="len-10**15"),
    pytest.param(lambda items: Seq(items, length=2**70), id="len-2**70"),
    pytest.param(lambda items: Seq(items, length=-1), id="len-negative"),
    pytest.param(lambda items: Seq(items, len_error=RuntimeError("no len")), id="len-raises"),
    pytest.param(lambda items: Seq(items, len_error=TypeError("no len")), id="len-type-error"),
    pytest.param(LongList, id="list-len-10**15"),
    pytest.param(LongTuple, id="tuple-len-10**15"),
]


class TestSequences:
    @pytest.mark.parametrize("shape", SEQUENCE_SHAPES)
    def test_s(self, shape):
        assert encode(shape(["ab", "c", "ab"]), [((97, 98), 256)]) == [256, 99, 256]

    @pytest.mark.parametrize("shape", SEQUENCE_SHAPES)
    def test_merges(self, shape):
        assert encode(["abc"], shape([((97, 98), 256), ((256, 99), 257)])) == [257]

    @pytest.mark.parametrize("shape", SEQUENCE_SHAPES)
    def test_ids(self, shape):
        assert decode_string(shape([104, 105, 33]), {104: b"h", 105: b"i", 33: b"!"}) == "hi!"

    @pytest.mark.parametrize("shape", SEQUENCE_SHAPES)
    def test_vocab_value(self, shape):
        assert decode_string([1], {1: shape([104, 105, 33])}) == "hi!"

    @pytest.mark.parametrize(
        "ids",
        [range(104, 106), b"hi", bytearray(b"hi"), memoryview(b"hi"), array.array("H", [104, 105])],
        ids=["range", "bytes", "bytearray", "memoryview", "array"],
    )
    def test_other_sequences_of_ints_as_ids(self, ids):
        assert decode_string(ids, {104: b"h", 105: b"i"}) == "hi"

    @pytest.mark.parametrize("shape", SEQUENCE_SHAPES)
    def test_empty(self, shape):
        assert encode(shape([]), shape([])) == []
        assert encode(shape([]), [((97, 98), 256)]) == []
        assert decode_string(shape([]), {}) == ""
        assert decode_string([1], {1: shape([])}) == ""

    def test_str_subclass_items_are_accepted(self):
        assert encode([StrSub("ab"), StrSub("")], [((97, 98), 256)]) == [256]

    def test_iter_returning_a_non_iterator_is_a_prefixed_type_error(self):
        e = raised(lambda: encode(IterNotIterator(["a"]), []))
        model = raised(lambda: iter(IterNotIterator(["a"])))
        assert type(e) is TypeError
        assert str(e) == f"argument 's': {model}"

    def test_items_are_taken_by_iterating(self):
        assert encode(ReversedList(["a", "b"]), []) == [98, 97]
        assert decode_string(ReversedList([104, 105]), {104: b"h", 105: b"i"}) == "ih"
        # Iterated: (256, 99) comes first and finds nothing yet.
        assert encode(["abc"], ReversedList([((97, 98), 256), ((256, 99), 257)])) == [256, 99]


class TestIntegers:
    @pytest.mark.parametrize(
        "value, expected",
        [(True, 1), (False, 0), (Index(7), 7), (IntSub(9), 9),
         (0, 0), (65535, 65535)],
        ids=["True", "False", "index", "int-subclass", "0", "65535"],
    )
    def test_token_ids_accept_any_integer_in_range(self, value, expected):
        assert decode_string([value], {expected: b"x"}) == "x"
        assert decode_string([expected], {value: b"y"}) == "y"
        assert encode(["abc"], [((97, 98), value)]) == [expected, 99]
        assert encode(["abc"], [((97, 98), expected), ((value, 99), 300)]) == [300]
        assert encode(["abc"], [((98, 99), expected), ((97, value), 300)]) == [300]

    @pytest.mark.parametrize(
        "value, expected",
        [(True, 1), (False, 0), (Index(104), 104), (IntSub(0), 0), (255, 255), (Index(255), 255)],
        ids=["True", "False", "index", "int-subclass-0", "255", "index-255"],
    )
    def test_bytes_accept_any_integer_in_range(self, value, expected):
        assert outcome(lambda: decode_string([1], {1: [value, 33]})) == outcome(
            lambda: decode_string([1], {1: bytes([expected, 33])}))


class TestMergeTuples:
    def test_tuple_subclasses_are_accepted(self):
        merges = [MergeRecord(MergePair(97, 98), 256), MergeRecord(MergePair(256, 99), 257)]
        assert encode(["abc", "ab"], merges) == [257, 256]

    def test_sequence_of_merges_may_be_a_tuple_of_tuples(self):
        assert encode(["aaaa"], (((97, 97), 256), ((256, 256), 257))) == [257]


class TestVocabDict:
    def test_later_duplicate_key_replaces_earlier(self):
        assert decode_string([1], {1: b"a", Index(1): b"b"}) == "b"
        assert decode_string([1], {Index(1): b"b", 1: b"a"}) == "a"
        assert decode_string([1], {Index(1): b"b", Index(1): b"c"}) == "c"

    @pytest.mark.parametrize(
        "value",
        [b"h\xc3\xa9", bytearray(b"h\xc3\xa9"), BytesSub(b"h\xc3\xa9"), ByteArraySub(b"h\xc3\xa9"),
         [104, 195, 169], (104, 195, 169), array.array("B", b"h\xc3\xa9"), memoryview(b"h\xc3\xa9"),
         Seq([104, 195, 169], length=10**15)],
        ids=["bytes", "bytearray", "bytes-subclass", "bytearray-subclass", "list", "tuple",
             "array", "memoryview", "lying-sequence"],
    )
    def test_value_kinds_decode_alike(self, value):
        assert decode_string([1, 2, 1], {1: value, 2: b""}) == "h\u00e9h\u00e9"

    @pytest.mark.parametrize("cls", [collections.OrderedDict, collections.defaultdict])
    def test_dict_subclasses_are_accepted(self, cls):
        vocab = cls()
        vocab[1] = b"o"
        vocab[2] = b"k"
        assert decode_string([1, 2], vocab) == "ok"

    def test_walk_reads_the_dict_itself_not_overridden_methods(self):
        class Hiding(dict):
            def __iter__(self):
                return iter(())

            def items(self):
                return []

            def keys(self):
                return []

            def __getitem__(self, key):
                raise KeyError(key)

            def __len__(self):
                return 0

        assert decode_string([1, 2], Hiding({1: b"o", 2: b"k"})) == "ok"

    def test_values_are_copied_when_converted(self):
        first = bytearray(b"ab")
        listed = [99]

        class Mutator:
            def __index__(self):
                first[:] = b"zz"
                listed[:] = [120]
                return 3

        vocab = {1: first, 2: listed, Mutator(): b"!"}
        assert decode_string([1, 2, 3], vocab) == "abc!"
        assert first == bytearray(b"zz")

    @pytest.mark.parametrize(
        "where, change, message",
        [
            ("first-key", "add", "dictionary changed size during iteration"),
            ("last-key", "add", "dictionary changed size during iteration"),
            ("first-value", "remove-other", "dictionary changed size during iteration"),
            ("last-value", "add", "dictionary changed size during iteration"),
            ("first-key", "replace-own", "dictionary keys changed during iteration"),
            ("first-value", "replace-own", "dictionary keys changed during iteration"),
        ],
    )
    def test_dict_changed_during_the_walk_is_an_internal_error(self, where, change, message,
                                                                capfd):
        vocab = {}
        keys = []

        class Changer:
            def __init__(self, value):
                self.value = value

            def __index__(self):
                if change == "add":
                    vocab[5000] = b"new"
                elif change == "remove-other":
                    del vocab[keys[-1]]
                else:
                    del vocab[keys[0]]
                    vocab[5000] = b"new"
                return self.value

        first_key = Changer(1) if where == "first-key" else 1
        last_key = Changer(2) if where == "last-key" else 2
        keys[:] = [first_key, last_key]
        vocab[first_key] = [Changer(97)] if where == "first-value" else b"a"
        vocab[last_key] = [Changer(98)] if where == "last-value" else b"b"
        e = raised(lambda: decode_string([1, 2], vocab))
        assert type(e).__name__ == "PanicException"
        assert e.args == (message,)
        # The diagnostic written to standard error carries the message too.
        assert message in capfd.readouterr().err

    @pytest.mark.parametrize("action", ["delete-own-entry", "clear"])
    def test_entry_is_held_while_converted(self, action):
        # The key's __index__ drops the dict's references to the entry: the
        # walk must hold its own, so the value stays alive while converted.
        events = []
        vocab = {}

        class Key:
            def __index__(self):
                if action == "clear":
                    vocab.clear()
                else:
                    del vocab[self]
                events.append("index done")
                return 1

            def __del__(self):
                events.append("key freed")

        class Value(Seq):
            def __getitem__(self, i):
                events.append(f"value item {i}")
                return super().__getitem__(i)

            def __del__(self):
                events.append("value freed")

        vocab[Key()] = Value([97])
        vocab[2] = b"b"
        e = raised(lambda: decode_string([1], vocab))
        gc.collect()
        assert type(e).__name__ == "PanicException"
        assert e.args == ("dictionary changed size during iteration",)
        assert events[:3] == ["index done", "value item 0", "value item 1"]
        assert sorted(events[3:]) == ["key freed", "value freed"]
        assert decode_string([1], {1: b"a"}) == "a"


def _refcount_cases():
    """(name, objects to watch, call) for each way a call can end."""

    def fresh_str(text):
        return "".join(list(text))

    # Watched ints stay above 1024: Python 3.15 caches, as immortal objects,
    # every int up to that.
    def fresh_int(value):
        return int(str(value))

    class Key:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            self.d[fresh_int(5000)] = b"x"
            return 1

    cases = []

    def case(name):
        def register(build):
            cases.append(pytest.param(build, id=name))
            return build
        return register

    @case("encode-ok")
    def _():
        s = [fresh_str("abc"), fresh_str("abc")]
        merges = [((fresh_int(97), fresh_int(98)), fresh_int(3000))]
        return [s, merges, *s, merges[0], merges[0][0], merges[0][1]], lambda: encode(s, merges)

    @case("decode-ok")
    def _():
        ids = [fresh_int(3000), fresh_int(3001)]
        value = bytes([104, 104])
        array_value = bytearray(b"i")
        vocab = {ids[0]: value, fresh_int(3001): array_value}
        return [ids, *ids, value, array_value, vocab], lambda: decode_string(ids, vocab)

    @case("parser")
    def _():
        s = [fresh_str("abc")]
        return [s, s[0]], lambda: encode(s, [], s=s)

    @case("prefixed-cast")
    def _():
        item = fresh_str("abc")
        merges = [((fresh_int(97), fresh_int(98)), fresh_int(3000)), [item]]
        return [merges, item, merges[0]], lambda: encode([item], merges)

    @case("chunks-cast")
    def _():
        item = fresh_str("abc")
        bad = fresh_int(3000)
        chunks = [item, bad]
        return [chunks, item, bad], lambda: encode_train(chunks)

    @case("float")
    def _():
        bad = float("1.5")
        ids = [fresh_int(3000), bad]
        return [ids, bad, ids[0]], lambda: decode_string(ids, {})

    @case("out-of-range")
    def _():
        big = fresh_int(70000)
        ids = [fresh_int(3000), big]
        return [ids, big], lambda: decode_string(ids, {})

    @case("huge")
    def _():
        huge = fresh_int(2**70)
        vocab = {fresh_int(3000): b"a", huge: b"b"}
        return [vocab, huge], lambda: decode_string([], vocab)

    @case("tuple-length")
    def _():
        record = (fresh_int(3000), fresh_int(3001), fresh_int(3002))
        merges = [record]
        return [merges, record, *record], lambda: encode([], merges)

    @case("unicode")
    def _():
        text = fresh_str("a\ud800")
        s = [fresh_str("ok"), text]
        return [s, text, s[0]], lambda: encode(s, [])

    # A new exception each time: a kept one would keep, through its
    # traceback, the frames that raised it and so the object.
    @case("index-raises-type-error")
    def _():
        obj = IndexRaises(lambda: TypeError("boom"))
        ids = [obj]
        return [ids, obj], lambda: decode_string(ids, {})

    @case("index-raises-value-error")
    def _():
        obj = IndexRaises(lambda: ValueError("boom"))
        merges = [((fresh_int(3000), obj), fresh_int(3001))]
        return [merges, obj, merges[0]], lambda: encode([], merges)

    @case("panic")
    def _():
        vocab = {}
        key = Key(vocab)
        value = bytearray(b"a")
        vocab[key] = value
        return [vocab, key, value], lambda: decode_string([], vocab)

    @case("unknown-id")
    def _():
        ids = [fresh_int(3000), fresh_int(3001)]
        value = bytes([97, 98])
        vocab = {fresh_int(3000): value}
        return [ids, *ids, value, vocab], lambda: decode_string(ids, vocab)

    @case("invalid-utf8")
    def _():
        ids = [fresh_int(3000)]
        value = bytes([255, 255])
        vocab = {ids[0]: value}
        return [ids, ids[0], value, vocab], lambda: decode_string(ids, vocab)

    return cases


class TestRefcounts:
    @pytest.mark.parametrize("build", _refcount_cases())
    def test_argument_refcounts_unchanged(self, build):
        watched, call = build()
        assert not any(sys._is_immortal(o) for o in watched)
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(3):
            try:
                call()
            except BaseException:
                pass
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        assert after == before
