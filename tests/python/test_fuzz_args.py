"""Arbitrary arguments for every function of the module.

Each example is drawn as a description (a Make: a text to show and a way to
build the objects afresh), built twice: once for a plain-Python model of the
conversion rules and of the three functions, once for the module. The
objects may raise from __index__, __iter__, __len__ or __getitem__, return
values out of range, or change their container while it is converted; built
twice, they do the same for both. The call must return what the model
returns, or raise an exception of the same type with the same text (the
internal-error class by its message), and a plain call afterwards must still
work.

OVILEX_HYPOTHESIS_PROFILE=long raises the number of examples per test (the
long mode of tools/check.d/30-leaks).
"""

import functools
import operator
import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
from _ovilex import build_info, decode_string, encode, encode_train
from objects import (LONG_OVERFLOW, OUT_OF_RANGE, STR_TO_VEC, BytesSub, DictSub, Index,
                     IndexRaises, IntSub, IterNotIterator, IterRaises, ListSub, MyTypeError, Seq,
                     StrSub, TupleSub, provoke_panic)
from test_decode import utf8_fault

BANNER = "ovilex build: capped_encode_train_max_7744:0.1.0:src\\tokenizer"
LONG_MIN, LONG_MAX = -(2**63), 2**63 - 1

PROFILES = {"default": 200, "long": 5000}
FUZZ = settings(
    max_examples=PROFILES[os.environ.get("OVILEX_HYPOTHESIS_PROFILE", "default")],
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# ------------------------------------------------------------ the objects

# What the caller's objects raise, by name (objects.py has the objects).
ERRORS = {
    "ValueError": lambda: ValueError("raised by the caller"),
    "TypeError": lambda: TypeError("raised by the caller"),
    "MyTypeError": lambda: MyTypeError("raised by the caller"),
    "LookupError": lambda: LookupError("raised by the caller"),
    "Panic": lambda: panic_class()("raised again by the caller"),
}


def nested(kind, depth):
    """[[[...[97]...]]] (or tuples), |depth| levels deep."""
    value = kind([97])
    for _ in range(depth):
        value = kind([value])
    return value


def mutating_list(items, at, action):
    """|items| with, at position |at|, an object whose __index__ changes the
    list once (append, pop, clear or insert at the front) and returns 98."""
    out = list(items)

    class Mutator:
        done = False

        def __index__(self):
            if not Mutator.done:
                Mutator.done = True
                if action == "append":
                    out.append(99)
                elif action == "pop":
                    out.pop()
                elif action == "clear":
                    out.clear()
                else:
                    out.insert(0, 97)
            return 98

    out.insert(min(at, len(out)), Mutator())
    return out


def mutating_dict(entries, action):
    """A dict whose first key's __index__ (returning 97) changes the dict:
    adds an entry, deletes its own, replaces its own by a new one, deletes
    the last, or replaces the last entry's value. At most four entries, so
    that nothing makes the dict reorganise itself under the walk."""
    vocab = {}

    class Changer:
        def __index__(self):
            keys = list(vocab)
            if action == "add":
                vocab[60000] = b"+"
            elif action == "delete-own":
                vocab.pop(self, None)
            elif action == "replace-own":
                vocab.pop(self, None)
                vocab[60001] = b"*"
            elif action == "delete-last" and keys:
                vocab.pop(keys[-1])
            elif action == "set-last" and keys:
                vocab[keys[-1]] = b"="
            return 97

    vocab[Changer()] = b"a"
    for key, value in entries[:3]:
        vocab[key] = value
    return vocab


# ------------------------------------------------------------- descriptions


class Make:
    """Shows as |text|; calling it builds the objects afresh."""

    def __init__(self, text, build):
        self.text = text
        self.build = build

    def __repr__(self):
        return self.text

    def __call__(self):
        return self.build()


def const(value):
    return Make(repr(value), lambda: value)


def items_text(children):
    return ", ".join(map(repr, children))


CONTAINERS = {
    "list": lambda cs: Make(f"[{items_text(cs)}]", lambda: [c() for c in cs]),
    "tuple": lambda cs: Make(f"({items_text(cs)},)", lambda: tuple(c() for c in cs)),
    "ListSub": lambda cs: Make(f"ListSub([{items_text(cs)}])", lambda: ListSub(c() for c in cs)),
    "TupleSub": lambda cs: Make(f"TupleSub([{items_text(cs)}])",
                                lambda: TupleSub(c() for c in cs)),
    "Seq": lambda cs: Make(f"Seq([{items_text(cs)}])", lambda: Seq([c() for c in cs])),
    "generator": lambda cs: Make(f"(x for x in [{items_text(cs)}])",
                                 lambda: (x for x in [c() for c in cs])),
    "dict": lambda cs: Make(f"dict(enumerate([{items_text(cs)}]))",
                            lambda: dict(enumerate(c() for c in cs))),
}

SEQUENCE_KINDS = ["list", "list", "list", "tuple", "ListSub", "TupleSub", "Seq"]
ERROR_NAMES = sorted(ERRORS)
INDEX_RAISES = st.sampled_from(ERROR_NAMES).map(
    lambda e: Make(f"IndexRaises(ERRORS[{e!r}])", lambda: IndexRaises(ERRORS[e])))


@st.composite
def odd_sequence(draw, children):
    """A sequence that misbehaves: a __len__ that lies or raises, an
    __iter__ that raises or returns a non-iterator, a __getitem__ that
    raises part-way, or a list changed by one of its own items."""
    cs = draw(children)
    kind = draw(st.sampled_from(["len-lies", "len-raises", "iter-raises", "iter-non-iterator",
                                 "getitem-raises", "mutating"]))
    text = items_text(cs)
    if kind == "len-lies":
        length = draw(st.sampled_from([0, -1, 10**15, 2**70, "x", None, 1.5]))
        if length is None:
            length = Index(3)
        return Make(f"Seq([{text}], length={length!r})",
                    lambda: Seq([c() for c in cs], length=length))
    if kind == "len-raises":
        error = draw(st.sampled_from(ERROR_NAMES))
        return Make(f"Seq([{text}], len_error=ERRORS[{error!r}])",
                    lambda: Seq([c() for c in cs], len_error=ERRORS[error]))
    if kind == "iter-raises":
        error = draw(st.sampled_from(ERROR_NAMES))
        return Make(f"IterRaises([{text}], ERRORS[{error!r}])",
                    lambda: IterRaises([c() for c in cs], ERRORS[error]))
    if kind == "iter-non-iterator":
        return Make(f"IterNotIterator([{text}])", lambda: IterNotIterator(c() for c in cs))
    if kind == "getitem-raises":
        at = draw(st.integers(0, len(cs)))
        error = draw(st.sampled_from(ERROR_NAMES))
        return Make(f"Seq([{text}], fail_at={at}, error=ERRORS[{error!r}])",
                    lambda: Seq([c() for c in cs], fail_at=at, error=ERRORS[error]))
    at = draw(st.integers(0, len(cs)))
    action = draw(st.sampled_from(["append", "pop", "clear", "insert"]))
    return Make(f"mutating_list([{text}], {at}, {action!r})",
                lambda: mutating_list([c() for c in cs], at, action))


def sequence_of(items, max_size=6):
    """Mostly a plain sequence kind of |items|, sometimes a misbehaving one."""
    children = st.lists(items, max_size=max_size)
    plain = st.tuples(st.sampled_from(SEQUENCE_KINDS), children).map(
        lambda t: CONTAINERS[t[0]](t[1]))
    return mostly(plain, odd_sequence(children), times=4)


EDGE_INTS = [-1, 0, 255, 256, 65535, 65536, LONG_MAX, LONG_MAX + 1, LONG_MIN, LONG_MIN - 1,
             2**64, -(2**64)]
TEXT = st.text(st.one_of(st.characters(), st.sampled_from(["\ud800", "\udfff", "\udc80"])),
               max_size=6)

INTS = st.one_of(st.integers(-3, 300), st.integers(-(2**70), 2**70), st.sampled_from(EDGE_INTS))

LEAVES = st.one_of(
    INTS.map(const),
    st.booleans().map(const),
    st.floats(allow_nan=False).map(const),
    st.none().map(const),
    TEXT.map(const),
    st.binary(max_size=4).map(const),
    st.binary(max_size=4).map(lambda b: Make(f"bytearray({b!r})", lambda: bytearray(b))),
    st.binary(max_size=4).map(lambda b: Make(f"memoryview({b!r})", lambda: memoryview(b))),
    st.binary(max_size=4).map(lambda b: Make(f"BytesSub({b!r})", lambda: BytesSub(b))),
    TEXT.map(lambda t: Make(f"StrSub({t!r})", lambda: StrSub(t))),
    INTS.map(lambda v: Make(f"IntSub({v!r})", lambda: IntSub(v))),
    st.one_of(INTS, st.sampled_from(["1", 1.5, None])).map(
        lambda v: Make(f"Index({v!r})", lambda: Index(v))),
    INDEX_RAISES,
    st.just(Make("{1, 2}", lambda: {1, 2})),
    st.sampled_from([list, tuple]).map(
        lambda kind: Make(f"nested({kind.__name__}, 1000)", lambda: nested(kind, 1000))),
    st.just(Make("range(97, 100)", lambda: range(97, 100))),
)

ANY = st.recursive(
    LEAVES,
    lambda children: st.one_of(
        st.tuples(st.sampled_from(sorted(CONTAINERS)), st.lists(children, max_size=4)).map(
            lambda t: CONTAINERS[t[0]](t[1])),
        odd_sequence(st.lists(children, max_size=4)),
    ),
    max_leaves=8,
)



def mostly(good, other, times=8):
    """|good| about |times| times as often as |other| (and |good| when
    shrinking)."""
    return st.integers(0, times).flatmap(lambda i: other if i == times else good)


# Mostly what each parameter expects, with anything at all mixed in.
SMALL_IDS = st.sampled_from([97, 98, 99, 100, 256, 257, 258])
INT_LIKE = mostly(SMALL_IDS.map(const), st.one_of(INTS.map(const), LEAVES))
CHUNK = mostly(st.text("abcd", max_size=6).map(const), st.one_of(TEXT.map(const), LEAVES))


@st.composite
def pair_like(draw, first, second):
    """((first, second) as a tuple, mostly; sometimes a list, a tuple subclass,
    or one of another length."""
    cs = [draw(first), draw(second)]
    shape = draw(st.sampled_from(["tuple"] * 6 + ["TupleSub", "list", "short", "long"]))
    if shape == "short":
        return CONTAINERS["tuple"](cs[:1])
    if shape == "long":
        return CONTAINERS["tuple"](cs + [draw(first)])
    return CONTAINERS[shape](cs)


MERGE = mostly(pair_like(pair_like(INT_LIKE, INT_LIKE), INT_LIKE),
               st.one_of(pair_like(ANY, INT_LIKE), ANY))

VALUE = mostly(
    st.one_of(
        st.sampled_from([b"a", b"b", b"\xc3", b"\xa9", b"\xff", b""]).map(const),
        st.binary(max_size=3).map(const),
        st.binary(max_size=3).map(lambda b: Make(f"bytearray({b!r})", lambda: bytearray(b))),
        st.binary(max_size=3).map(lambda b: Make(f"BytesSub({b!r})", lambda: BytesSub(b))),
        sequence_of(mostly(st.integers(0, 255).map(const), INT_LIKE), max_size=3),
    ),
    LEAVES, times=4)
HASHABLE_KEY = mostly(SMALL_IDS.map(const), st.one_of(
    INTS.map(const), st.booleans().map(const), st.none().map(const), TEXT.map(const),
    st.floats(allow_nan=False).map(const),
    INTS.map(lambda v: Make(f"IntSub({v!r})", lambda: IntSub(v))),
    st.one_of(INTS, st.sampled_from(["1", None])).map(
        lambda v: Make(f"Index({v!r})", lambda: Index(v))),
    INDEX_RAISES,
))


def entries_text(entries):
    return ", ".join(f"({k!r}, {v!r})" for k, v in entries)


COVERING = [(const(i), const(b)) for i, b in
            zip([97, 98, 99, 100, 256, 257, 258], [b"a", b"b", b"c", b"", b"\xc3", b"\xa9", b"ab"])]


@st.composite
def vocab_like(draw):
    entries = draw(st.lists(st.tuples(HASHABLE_KEY, VALUE), max_size=6))
    if draw(st.booleans()):
        # Every small id, so that more calls get past the lookups.
        entries = COVERING + entries
    kind = draw(st.sampled_from(["dict"] * 6 + ["DictSub", "mutating", "not-a-dict"]))
    if kind == "mutating":
        action = draw(st.sampled_from(["add", "delete-own", "replace-own", "delete-last",
                                       "set-last"]))
        return Make(f"mutating_dict([{entries_text(entries[:3])}], {action!r})",
                    lambda: mutating_dict([(k(), v()) for k, v in entries[:3]], action))
    if kind == "not-a-dict":
        return draw(ANY)
    cls = dict if kind == "dict" else DictSub
    return Make(f"{cls.__name__}([{entries_text(entries)}])",
                lambda: cls((k(), v()) for k, v in entries))


PARAMS = {
    "encode_train": ("chunks",),
    "encode": ("s", "merges"),
    "decode_string": ("ids", "vocab_list"),
}
LIKELY = {
    "chunks": sequence_of(CHUNK),
    "s": sequence_of(CHUNK),
    "merges": sequence_of(MERGE, max_size=4),
    "ids": sequence_of(INT_LIKE),
    "vocab_list": vocab_like(),
}


@st.composite
def call_of(draw, function):
    """(positional descriptions, keyword descriptions): mostly the right
    parameters, by position or by keyword; sometimes too many, too few,
    unknown or repeated."""
    params = PARAMS[function]
    values = {p: draw(mostly(LIKELY[p], ANY)) for p in params}
    form = draw(st.sampled_from(["positional"] * 6 + ["keywords", "mixed", "random"]))
    if form == "positional":
        return [values[p] for p in params], {}
    if form == "keywords":
        names = draw(st.permutations(params))
        return [], {p: values[p] for p in names}
    if form == "mixed":
        k = draw(st.integers(0, len(params)))
        names = draw(st.permutations(params[k:]))
        return [values[p] for p in params[:k]], {p: values[p] for p in names}
    positional = draw(st.lists(st.one_of(*(LIKELY[p] for p in params)), max_size=3))
    names = draw(st.lists(st.sampled_from(list(params) + ["x", "chunk", "vocab"]), max_size=3,
                          unique=True))
    return positional, {n: draw(ANY) for n in names}


# -------------------------------------------------------------- the model


class Panic(Exception):
    """The model's internal error: the module raises its PanicException."""


@functools.cache
def panic_class():
    """The module's PanicException."""
    return type(provoke_panic())


def display_name(function):
    return f"{function}()"


def names_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def model_parse(function, args, kwargs):
    params = PARAMS[function]
    shown = display_name(function)
    if len(args) > len(params):
        were = "was" if len(args) == 1 else "were"
        raise TypeError(f"{shown} takes {len(params)} positional arguments but {len(args)} "
                        f"{were} given")
    slots = dict(zip(params, args))
    for name, value in kwargs.items():
        if name not in params:
            raise TypeError(f"{shown} got an unexpected keyword argument '{name}'")
        if name in slots:
            raise TypeError(f"{shown} got multiple values for argument '{name}'")
        slots[name] = value
    missing = [p for p in params if p not in slots]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{shown} missing {len(missing)} required positional {word}: "
                        f"{names_list(missing)}")
    return [slots[p] for p in params]


def cast_error(obj, target):
    return TypeError(f"'{type(obj).__qualname__}' object cannot be cast as '{target}'")


def is_sequence(obj):
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def each_item(obj, convert):
    if isinstance(obj, str):
        raise TypeError(STR_TO_VEC)
    if not is_sequence(obj):
        raise cast_error(obj, "Sequence")
    try:
        len(obj)  # a size hint only: any failure is forgotten
    except BaseException:
        pass
    out = []
    iterator = iter(obj)
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            return out
        out.append(convert(item))


def as_long(obj):
    value = int(obj) if isinstance(obj, int) else operator.index(obj)
    if not LONG_MIN <= value <= LONG_MAX:
        raise OverflowError(LONG_OVERFLOW)
    return value


def unsigned(obj, top):
    value = as_long(obj)
    if not 0 <= value <= top:
        raise OverflowError(OUT_OF_RANGE)
    return value


def token_id(obj):
    return unsigned(obj, 65535)


def chunk(item):
    if not isinstance(item, str):
        raise cast_error(item, "str")
    return str.encode(item, "utf-8")


def pair_tuple(obj):
    if not isinstance(obj, tuple):
        raise cast_error(obj, "tuple")
    if tuple.__len__(obj) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length "
                         f"{tuple.__len__(obj)}")
    return tuple.__getitem__(obj, 0), tuple.__getitem__(obj, 1)


def merge(item):
    pair, new = pair_tuple(item)
    left, right = pair_tuple(pair)
    return ((token_id(left), token_id(right)), token_id(new))


def byte_vector(value):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        raise TypeError(STR_TO_VEC)
    return bytes(each_item(value, lambda item: unsigned(item, 255)))


def vocab_map(obj):
    """The walk over the dict's own entries, in the order the interpreter
    keeps them: a deleted entry is skipped, an added one comes at the end."""
    if not isinstance(obj, dict):
        raise cast_error(obj, "dict")
    initial = dict.__len__(obj)
    table = [[key, True] for key in dict.keys(obj)]

    def sync():
        live = list(dict.keys(obj))
        for entry in table:
            if entry[1] and not any(entry[0] is k for k in live):
                entry[1] = False
        for key in live:
            if not any(entry[0] is key for entry in table):
                table.append([key, True])

    out = {}
    pos = yielded = 0
    while True:
        if dict.__len__(obj) != initial:
            raise Panic("dictionary changed size during iteration")
        if yielded > initial:
            raise Panic("dictionary keys changed during iteration")
        while pos < len(table) and not table[pos][1]:
            pos += 1
        if pos == len(table):
            return out
        key = table[pos][0]
        value = dict.__getitem__(obj, key)
        pos += 1
        yielded += 1
        tid = token_id(key)
        sync()
        out[tid] = byte_vector(value)
        sync()


def convert(name, obj, rule):
    """Converts one argument; only an exact TypeError gets the prefix, and an
    internal error that comes back from the caller's code stays one."""
    try:
        return rule(obj)
    except Panic:
        raise
    except BaseException as e:
        if isinstance(e, panic_class()):
            raise Panic(str(e)) from None
        if type(e) is TypeError:
            raise TypeError(f"argument '{name}': {e}") from None
        raise


def model(function, args, kwargs):
    """What the call returns, or raises, by the rules."""
    if function == "build_info":
        if kwargs:
            raise TypeError("_ovilex.build_info() takes no keyword arguments")
        if args:
            raise TypeError(f"_ovilex.build_info() takes no arguments ({len(args)} given)")
        return BANNER
    values = model_parse(function, args, kwargs)
    if function == "encode_train":
        chunks = convert("chunks", values[0], lambda o: each_item(o, chunk))
        return reference.train([c.decode("utf-8") for c in chunks])
    if function == "encode":
        chunks = convert("s", values[0], lambda o: each_item(o, chunk))
        merges = convert("merges", values[1], lambda o: each_item(o, merge))
        words = [list(c) for c in chunks]
        for (left, right), new in merges:
            words = [reference.merge_word(w, left, right, new) for w in words]
        return [t for w in words for t in w]
    ids = convert("ids", values[0], lambda o: each_item(o, token_id))
    vocab = convert("vocab_list", values[1], vocab_map)
    for i in ids:
        if i not in vocab:
            raise KeyError(f"unknown token id {i} in vocab_list")
    data = b"".join(vocab[i] for i in ids)
    fault = utf8_fault(data)
    if fault is not None:
        raise ValueError(f"decoded bytes are not valid UTF-8: {fault}")
    return data.decode("utf-8")


def outcome(call):
    """("ok", result) or (exception type, str()); the model's and the
    module's internal errors both as ("panic", message)."""
    try:
        return ("ok", call())
    except Panic as e:
        return ("panic", str(e))
    except BaseException as e:
        if isinstance(e, panic_class()):
            return ("panic", str(e))
        return (type(e), str(e))


FUNCTIONS = {"build_info": build_info, "encode_train": encode_train, "encode": encode,
             "decode_string": decode_string}


def still_works():
    assert encode(["ab", "ab"], [((97, 98), 256)]) == [256, 256]
    assert decode_string([256, 99], {256: b"ab", 99: b"c"}) == "abc"


def check(function, call):
    """The call against the model; training calls write their record files
    to the test's scratch directory."""
    args, kwargs = call
    expected = outcome(lambda: model(function, [a() for a in args],
                                     {k: v() for k, v in kwargs.items()}))
    got = outcome(lambda: FUNCTIONS[function](*[a() for a in args],
                                              **{k: v() for k, v in kwargs.items()}))
    assert got == expected
    if got[0] == "ok" and function == "encode_train":
        assert all(type(m) is tuple and type(m[0]) is tuple for m in got[1])
    still_works()


# --------------------------------------------------------------- the tests


class TestFuzzArguments:
    @FUZZ
    @given(call=call_of("encode_train"))
    def test_encode_train(self, call):
        check("encode_train", call)

    @FUZZ
    @given(call=call_of("encode"))
    def test_encode(self, call):
        check("encode", call)

    @FUZZ
    @given(call=call_of("decode_string"))
    def test_decode_string(self, call):
        check("decode_string", call)

    @FUZZ
    @given(args=st.lists(ANY, max_size=2),
           kwargs=mostly(st.just({}), st.dictionaries(st.sampled_from(["x", "chunks"]), ANY,
                                                      min_size=1, max_size=2), times=2))
    def test_build_info(self, args, kwargs):
        check("build_info", (args, kwargs))
