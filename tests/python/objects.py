"""Argument objects for the calls of _ovilex, shared by test_args.py,
test_fuzz_args.py and tests/leaks/refleak.py: integers, sequences and
strings of other types, and objects whose protocol methods raise, lie or
log, and the messages the module's conversions give.

Where an object raises, |error| is an exception, raised as it is, or a
callable (an exception class, a function) that makes one afresh each time.
"""

from collections.abc import Callable, Iterable
from typing import Any, NoReturn

Error = BaseException | Callable[[], BaseException]

OUT_OF_RANGE = "out of range integral type conversion attempted"
STR_TO_VEC = "Can't extract `str` to `Vec`"
# PyLong_AsLong's own text for an int beyond the platform's long.
LONG_OVERFLOW = "Python int too large to convert to C long"


def throw(error: Error) -> NoReturn:
    raise error() if callable(error) else error


class Index:
    """An integer only through __index__, which returns |value| (anything);
    logs ("index", value) to |log| on each call."""

    def __init__(self, value: Any, log: list | None = None) -> None:
        self.value = value
        self.log = log

    def __index__(self) -> Any:
        if self.log is not None:
            self.log.append(("index", self.value))
        return self.value


class IndexRaises:
    """Raises |error| when used as an integer."""

    def __init__(self, error: Error) -> None:
        self.error = error

    def __index__(self) -> NoReturn:
        throw(self.error)


class Seq:
    """The old sequence protocol: __getitem__ until IndexError. __len__
    returns |length| (anything, or the true length if None) or raises
    |len_error|; __getitem__ raises |error| at index |fail_at|. Logs (tag,
    index) to |log| for each index asked for."""

    def __init__(self, items: Iterable, length: Any = None, len_error: Error | None = None,
                 fail_at: int | None = None, error: Error | None = None, log: list | None = None,
                 tag: str | None = None) -> None:
        self.items = list(items)
        self.length = length
        self.len_error = len_error
        self.fail_at = fail_at
        self.error = error
        self.log = log
        self.tag = tag

    def __len__(self) -> Any:
        if self.len_error is not None:
            throw(self.len_error)
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i: int) -> Any:
        if self.log is not None:
            self.log.append((self.tag, i))
        if i == self.fail_at:
            throw(self.error)
        return self.items[i]


class GetItemRaises:
    """One item long, and raises |error| when it is asked for."""

    def __init__(self, error: Error) -> None:
        self.error = error

    def __len__(self) -> int:
        return 1

    def __getitem__(self, i: int) -> NoReturn:
        throw(self.error)


class IterRaises(list):
    """A list whose __iter__ raises |error|."""

    def __init__(self, items: Iterable, error: Error) -> None:
        super().__init__(items)
        self.error = error

    def __iter__(self) -> NoReturn:
        throw(self.error)


class IterNotIterator(list):
    def __iter__(self) -> Any:
        return 42


class ReversedList(list):
    """Iterates backwards: the items are taken by iterating, not by index."""

    def __iter__(self) -> Any:
        return iter(list(reversed(list(super().__iter__()))))


class LongList(list):
    """A list that claims far more items than it holds."""

    def __len__(self) -> int:
        return 10**15


class LongTuple(tuple):
    def __len__(self) -> int:
        return 10**15


class IntSub(int):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class MyTypeError(TypeError):
    pass


class Unprintable:
    def __str__(self) -> str:
        raise RuntimeError("no text")


def provoke_panic(grow: bool = True) -> BaseException:
    """Calls decode_string with a dict whose first key's __index__ changes the
    dict: grow=True adds an entry (its size changes), grow=False deletes that
    key and adds another (size unchanged, but the walk yields one entry too
    many). Returns the BaseException raised."""
    import _ovilex

    vocab = {}

    class Key:
        def __index__(self) -> int:
            if not grow:
                del vocab[self]
            vocab[1000 + len(vocab)] = b"x"
            return 1

    vocab[Key()] = b"a"
    vocab[2] = b"b"
    try:
        _ovilex.decode_string([1], vocab)
    except BaseException as e:  # PanicException derives from BaseException only
        return e
    raise AssertionError("the dict changed during conversion, but decode_string returned")
