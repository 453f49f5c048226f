"""Repeats every way a call of _ovilex can end, and the main calls of the
package's own module ovilex._native (its Tokenizer, load_records and
WordCounts.add_files), and fails when anything grows.

Run by tools/check.d/30-leaks under the debug interpreter, which counts every
reference (sys.gettotalrefcount):

    python3.14-dbg tests/leaks/refleak.py [--calls N] [--rounds N] [-k TEXT]...

Each case is first called once and its outcome checked (the result, or the
exact exception type and, where the text is ours, the message), so that it
really takes the path it is named after. Then it is called --calls times to
warm up, and --rounds times --calls times more; after each round the script
collects garbage and reads the total reference count, the interpreter's
allocated blocks, the resident set size and the open file descriptors.

- A count that grows in every round, and by about as much in the last round
  as in the first, is a leak: noise does not repeat every round, and a
  filling cache grows less and less, while a leak grows alike each round.
- Resident memory is coarser (whole pages, and the allocator reuses what it
  freed, so a round may show nothing): it leaks when it grows by more than
  RSS_SLACK a round on average. Calls that start threads of their own may
  step it up once at any time (a new thread's malloc arena grows), so for
  them it leaks only when it grows by more than RSS_SLACK in every round.
- Any change in the number of open descriptors is a leak.

The inputs are a few hundred items long, so that a leak per item or per call
stands out over a round.

The script prints a table of every case and exits 1 on any finding.
"""

import argparse
import array
import collections
import contextlib
import gc
import os
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("OVILEX_BUILD_DIR", "build-dbg"))
if not BUILD.is_absolute():
    BUILD = ROOT / BUILD
sys.path.insert(0, str(BUILD))
# The package, whose native module the build puts in BUILD/ovilex.
sys.path.insert(0, str(ROOT / "python"))
# The argument objects and the reference vocabulary, shared with the tests.
sys.path.insert(0, str(ROOT / "tests" / "python"))

from _ovilex import build_info, decode_string, encode, encode_train  # noqa: E402
from objects import (LONG_OVERFLOW, OUT_OF_RANGE, STR_TO_VEC, BytesSub, DictSub,  # noqa: E402
                     Index, IndexRaises, IterNotIterator, IterRaises, MyTypeError, Seq, StrSub,
                     Unprintable, provoke_panic)
from ovilex import RecordError, SourceError, _native  # noqa: E402
from reference import vocab_from_merges  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")
# Resident memory may grow by a page or so now and then (allocator arenas);
# a leak grows it every round, and the inputs make that far more than this.
RSS_SLACK = 64 * 1024
BIG = 10**30

# ------------------------------------------------------------- the inputs


def caused_type_error():
    try:
        raise ValueError("the cause")
    except ValueError as cause:
        error = TypeError("with a cause")
        error.__cause__ = cause
        return error


WORDS = ["hello", " world", " hello", " there", " héllo", " 日本語", " wörld", "!", " 🙂🙂"]
CORPUS = WORDS * 40  # 360 chunks
# Enough merges, and a result long enough (over 4096 ids) to take the path
# that shares the int objects of repeated ids.
BIG_CORPUS = [f" w{i % 97}x{i % 13}" for i in range(6000)]


def plus(vocab, key, value):
    out = dict(vocab)
    out[key] = value
    return out


def mutating_list(action):
    """A list of ids whose third item's __index__ changes the list."""
    items = [104, 105]

    class Mutator:
        def __index__(self):
            if action == "clear":
                items.clear()
            else:
                items.append(33)
            return 105

    items.append(Mutator())
    items.extend([104] * 200)
    return items


def mutating_dict(change):
    """A vocab whose first key's __index__ changes the dict under the walk."""
    vocab = {}

    class Changer:
        def __index__(self):
            if change == "add":
                vocab[5000] = b"new"
            elif change == "replace-own":
                del vocab[self]
                vocab[5000] = b"new"
            else:  # another entry's value
                vocab[105] = b"I"
            return 104

    vocab[Changer()] = b"h"
    vocab[105] = b"i"
    return vocab


def panic_type():
    """The class of the module's internal errors, provoked without its
    diagnostic."""
    with quiet_stderr():
        return type(provoke_panic())


# -------------------------------------------------------------- the cases


class Case:
    def __init__(self, name, call, expect, message=None, noisy=False, cwd=None, weight=1.0,
                 warmup=1, threads=False):
        self.name = name
        self.call = call
        self.expect = expect  # ("ok", value) or an exception class
        self.message = message  # the exact str() of the exception, or None
        self.noisy = noisy  # writes to standard error on each call
        self.cwd = cwd  # a setup function given a fresh directory, for training
        self.weight = weight  # share of --calls (training is slower)
        self.warmup = warmup  # rounds before measuring
        self.threads = threads  # starts threads of its own on every call


def ok(value):
    return ("ok", value)


def prefixed(name, message):
    return f"argument '{name}': {message}"


def cast(name, type_name, target):
    return prefixed(name, f"'{type_name}' object cannot be cast as '{target}'")


def no_setup(path):
    pass


def data_is_a_file(path):
    (path / "data").write_text("not a directory")


def directory_at(record):
    def setup(path):
        (path / "data" / record).mkdir(parents=True)

    return setup


def make_cases(merges, big_merges):
    vocab = vocab_from_merges(merges)
    ids = encode(CORPUS, merges)
    big_ids = encode(BIG_CORPUS, big_merges)
    big_vocab = vocab_from_merges(big_merges)
    text = "".join(CORPUS)
    panic = panic_type()
    resumed = "an internal error that went through the caller's code"
    bad_tail = merges[:-1]

    cases = [
        # ------------------------------------------------ success paths
        Case("build_info", build_info, ok(build_info())),
        Case("encode_train list", lambda: encode_train(CORPUS), ok(merges), cwd=no_setup, weight=0.2),
        Case("encode_train tuple, keyword", lambda: encode_train(chunks=tuple(CORPUS)), ok(merges),
             cwd=no_setup, weight=0.2),
        Case("encode_train str subclass items", lambda: encode_train([StrSub(c) for c in CORPUS]),
             ok(merges), cwd=no_setup, weight=0.2),
        Case("encode_train many merges", lambda: encode_train(BIG_CORPUS), ok(big_merges),
             cwd=no_setup, weight=0.05),
        Case("encode_train empty", lambda: encode_train([]), ok([]), cwd=no_setup, weight=0.2),
        Case("encode list", lambda: encode(CORPUS, merges), ok(ids)),
        Case("encode keywords, tuples", lambda: encode(merges=tuple(merges), s=tuple(CORPUS)),
             ok(ids)),
        Case("encode long result (shared ints)", lambda: encode(BIG_CORPUS, big_merges),
             ok(big_ids), weight=0.2),
        Case("encode __len__ raises", lambda: encode(Seq(CORPUS, len_error=ValueError), merges),
             ok(ids)),
        Case("encode __len__ huge", lambda: encode(Seq(CORPUS, length=10**15), merges), ok(ids)),
        Case("encode __len__ negative", lambda: encode(Seq(CORPUS, length=-5), merges), ok(ids)),
        Case("encode empty", lambda: encode([], merges), ok([])),
        Case("decode_string bytes values", lambda: decode_string(ids, vocab), ok(text)),
        Case("decode_string long result", lambda: decode_string(big_ids, big_vocab),
             ok("".join(BIG_CORPUS)), weight=0.2),
        Case("decode_string bytearray values",
             lambda: decode_string(ids, {k: bytearray(v) for k, v in vocab.items()}), ok(text)),
        Case("decode_string list values",
             lambda: decode_string(ids, {k: list(v) for k, v in vocab.items()}), ok(text)),
        Case("decode_string memoryview, subclasses",
             lambda: decode_string(ids, DictSub({k: (memoryview(v) if k % 2 else BytesSub(v))
                                                 for k, v in vocab.items()})), ok(text)),
        Case("decode_string __index__ keys",
             lambda: decode_string(ids, {Index(k): v for k, v in vocab.items()}), ok(text)),
        Case("decode_string bytes ids", lambda: decode_string(b"hi" * 200, vocab), ok("hi" * 200)),
        Case("decode_string list cleared in walk",
             lambda: decode_string(mutating_list("clear"), vocab), ok("hii")),
        Case("decode_string list grown in walk",
             lambda: decode_string(mutating_list("append"), vocab), ok("hii" + "h" * 200 + "!")),
        Case("decode_string dict value replaced in walk",
             lambda: decode_string([104, 105], mutating_dict("other")), ok("hI")),
        # ------------------------------------------------ argument parsing
        Case("encode_train() missing", lambda: encode_train(), TypeError,
             "encode_train() missing 1 required positional argument: 'chunks'"),
        Case("encode() missing two", lambda: encode(), TypeError,
             "encode() missing 2 required positional arguments: 's' and 'merges'"),
        Case("encode(s) missing merges", lambda: encode(CORPUS), TypeError,
             "encode() missing 1 required positional argument: 'merges'"),
        Case("encode_train too many", lambda: encode_train(CORPUS, CORPUS), TypeError,
             "encode_train() takes 1 positional arguments but 2 were given"),
        Case("decode_string too many", lambda: decode_string(ids, vocab, 1), TypeError,
             "decode_string() takes 2 positional arguments but 3 were given"),
        Case("encode multiple values", lambda: encode(CORPUS, merges, s=CORPUS), TypeError,
             "encode() got multiple values for argument 's'"),
        Case("encode unexpected keyword", lambda: encode(CORPUS, merges, x=1), TypeError,
             "encode() got an unexpected keyword argument 'x'"),
        Case("encode_train unreadable keyword", lambda: encode_train(**{"\udc80": 1}), TypeError,
             "encode_train() got an unexpected keyword argument '\udc80'"),
        Case("build_info(1)", lambda: build_info(1), TypeError,
             "_ovilex.build_info() takes no arguments (1 given)"),
        Case("build_info(x=1)", lambda: build_info(x=1), TypeError,
             "_ovilex.build_info() takes no keyword arguments"),
        # ------------------------------------------------ sequences and items
        Case("encode_train str", lambda: encode_train("abc"), TypeError,
             prefixed("chunks", STR_TO_VEC)),
        Case("encode_train set", lambda: encode_train(set(CORPUS)), TypeError,
             cast("chunks", "set", "Sequence")),
        Case("encode_train dict", lambda: encode_train(dict.fromkeys(CORPUS)), TypeError,
             cast("chunks", "dict", "Sequence")),
        Case("encode_train generator", lambda: encode_train(c for c in CORPUS), TypeError,
             cast("chunks", "generator", "Sequence")),
        Case("encode_train None", lambda: encode_train(None), TypeError,
             cast("chunks", "NoneType", "Sequence")),
        Case("encode_train int item last", lambda: encode_train(CORPUS + [1]), TypeError,
             cast("chunks", "int", "str")),
        Case("encode_train lone surrogate last", lambda: encode_train(CORPUS + ["x\udfff"]),
             UnicodeEncodeError),
        Case("encode bytes item last", lambda: encode(CORPUS + [b"x"], merges), TypeError,
             cast("s", "bytes", "str")),
        Case("encode lone surrogate", lambda: encode(CORPUS + ["\ud800"], merges),
             UnicodeEncodeError),
        Case("encode merges str", lambda: encode(CORPUS, "merges"), TypeError,
             prefixed("merges", STR_TO_VEC)),
        Case("encode merges int", lambda: encode(CORPUS, 7), TypeError,
             cast("merges", "int", "Sequence")),
        Case("encode merge list not tuple", lambda: encode(CORPUS, bad_tail + [[(97, 98), 256]]),
             TypeError, cast("merges", "list", "tuple")),
        Case("encode inner pair list", lambda: encode(CORPUS, bad_tail + [([97, 98], 256)]),
             TypeError, cast("merges", "list", "tuple")),
        Case("encode flat triple", lambda: encode(CORPUS, bad_tail + [(97, 98, 256)]), ValueError,
             "expected tuple of length 2, but got tuple of length 3"),
        Case("encode inner length 1", lambda: encode(CORPUS, bad_tail + [((97,), 256)]), ValueError,
             "expected tuple of length 2, but got tuple of length 1"),
        Case("encode new 65536", lambda: encode(CORPUS, bad_tail + [((97, 98), 65536)]),
             OverflowError, OUT_OF_RANGE),
        Case("encode left -1", lambda: encode(CORPUS, bad_tail + [((-1, 98), 256)]),
             OverflowError, OUT_OF_RANGE),
        Case("encode right 2**64", lambda: encode(CORPUS, bad_tail + [((97, 2**64), 256)]),
             OverflowError, LONG_OVERFLOW),
        Case("encode right float", lambda: encode(CORPUS, bad_tail + [((97, 98.0), 256)]),
             TypeError, prefixed("merges", "'float' object cannot be interpreted as an integer")),
        Case("decode_string ids str", lambda: decode_string("abc", vocab), TypeError,
             prefixed("ids", STR_TO_VEC)),
        Case("decode_string float id", lambda: decode_string(ids + [1.0], vocab), TypeError,
             prefixed("ids", "'float' object cannot be interpreted as an integer")),
        Case("decode_string None id", lambda: decode_string(ids + [None], vocab), TypeError,
             prefixed("ids", "'NoneType' object cannot be interpreted as an integer")),
        Case("decode_string id -1", lambda: decode_string(ids + [-1], vocab), OverflowError,
             OUT_OF_RANGE),
        Case("decode_string id 65536", lambda: decode_string(ids + [65536], vocab), OverflowError,
             OUT_OF_RANGE),
        Case("decode_string id -2**70", lambda: decode_string(ids + [-2**70], vocab),
             OverflowError, LONG_OVERFLOW),
        Case("decode_string vocab list", lambda: decode_string(ids, list(vocab.items())), TypeError,
             cast("vocab_list", "list", "dict")),
        Case("decode_string str key", lambda: decode_string(ids, plus(vocab, "k", b"x")), TypeError,
             prefixed("vocab_list", "'str' object cannot be interpreted as an integer")),
        Case("decode_string key 70000", lambda: decode_string(ids, plus(vocab, 70000, b"x")),
             OverflowError, OUT_OF_RANGE),
        Case("decode_string str value", lambda: decode_string(ids, plus(vocab, 9999, "x")),
             TypeError, prefixed("vocab_list", STR_TO_VEC)),
        Case("decode_string byte 256", lambda: decode_string(ids, plus(vocab, 9999, [1] * 300 + [256])),
             OverflowError, OUT_OF_RANGE),
        Case("decode_string byte float", lambda: decode_string(ids, plus(vocab, 9999, [1, 2.0])),
             TypeError, prefixed("vocab_list", "'float' object cannot be interpreted as an integer")),
        Case("decode_string int value", lambda: decode_string(ids, plus(vocab, 9999, 5)),
             TypeError, cast("vocab_list", "int", "Sequence")),
        Case("decode_string set value", lambda: decode_string(ids, plus(vocab, 9999, {1, 2})),
             TypeError, cast("vocab_list", "set", "Sequence")),
        # ------------------------------------------------ the caller's code raising
        Case("__iter__ raises ValueError",
             lambda: encode(IterRaises(CORPUS, lambda: ValueError("no iter")), merges),
             ValueError, "no iter"),
        Case("__iter__ raises TypeError",
             lambda: encode(IterRaises(CORPUS, lambda: TypeError("no iter")), merges),
             TypeError, prefixed("s", "no iter")),
        Case("__iter__ raises TypeError subclass",
             lambda: encode(CORPUS, IterRaises(merges, lambda: MyTypeError("no iter"))),
             MyTypeError, "no iter"),
        Case("__iter__ returns a non-iterator", lambda: encode(IterNotIterator(CORPUS), merges),
             TypeError, prefixed("s", "iter() returned non-iterator of type 'int'")),
        Case("__getitem__ raises mid-way",
             lambda: encode(Seq(CORPUS, fail_at=300,
                                error=lambda: LookupError("item 300 is not there")), merges),
             LookupError, "item 300 is not there"),
        Case("__index__ raises ValueError",
             lambda: decode_string(ids + [IndexRaises(lambda: ValueError("bad index"))], vocab),
             ValueError, "bad index"),
        Case("__index__ raises TypeError with cause",
             lambda: decode_string(ids + [IndexRaises(caused_type_error)], vocab),
             TypeError, prefixed("ids", "with a cause")),
        Case("__index__ raises unprintable TypeError",
             lambda: decode_string(ids + [IndexRaises(lambda: TypeError(Unprintable()))], vocab),
             TypeError, prefixed("ids", "<unprintable TypeError object>"), noisy=True),
        Case("__index__ returns a str", lambda: decode_string(ids + [Index("1")], vocab),
             TypeError, prefixed("ids", "__index__ returned non-int (type str)")),
        Case("__index__ returns 2**80", lambda: decode_string(ids + [Index(2**80)], vocab),
             OverflowError, LONG_OVERFLOW),
        Case("__index__ returns 70000 (key)",
             lambda: decode_string(ids, plus(vocab, Index(70000), b"x")),
             OverflowError, OUT_OF_RANGE),
        Case("dict grown by a key's __index__",
             lambda: decode_string([104], mutating_dict("add")), panic,
             "dictionary changed size during iteration", noisy=True),
        Case("dict key replaced by its __index__",
             lambda: decode_string([104], mutating_dict("replace-own")), panic,
             "dictionary keys changed during iteration", noisy=True),
        Case("PanicException raised again by caller",
             lambda: decode_string(ids + [IndexRaises(lambda: panic(resumed))], vocab), panic,
             resumed, noisy=True, warmup=3),
        # ------------------------------------------------ decoding errors
        Case("decode_string unknown id", lambda: decode_string(ids + [9999], vocab), KeyError,
             "'unknown token id 9999 in vocab_list'"),
        Case("decode_string invalid UTF-8",
             lambda: decode_string(ids + [9999], plus(vocab, 9999, b"\xff")), ValueError,
             f"decoded bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index "
             f"{len(text.encode())}"),
        Case("decode_string incomplete UTF-8",
             lambda: decode_string(ids + [9999], plus(vocab, 9999, b"\xe2\x82")), ValueError,
             f"decoded bytes are not valid UTF-8: incomplete utf-8 byte sequence from index "
             f"{len(text.encode())}"),
        Case("decode_string unknown id after bad bytes",
             lambda: decode_string([9999] + ids + [9998], plus(vocab, 9999, b"\xff")), KeyError,
             "'unknown token id 9998 in vocab_list'"),
        # ------------------------------------------------ record files
        Case("encode_train data is a file", lambda: encode_train(CORPUS), OSError,
             "failed to write data/merges_record.json: File exists (os error 17)",
             cwd=data_is_a_file, weight=0.2),
        Case("encode_train directory at merges record", lambda: encode_train(CORPUS), OSError,
             "failed to write data/merges_record.json: Is a directory (os error 21)",
             cwd=directory_at("merges_record.json"), weight=0.2),
        Case("encode_train directory at vocab list", lambda: encode_train(CORPUS), OSError,
             "failed to write data/vocab_list.json: Is a directory (os error 21)",
             cwd=directory_at("vocab_list.json"), weight=0.2),
    ]
    return cases


def raise_stop(done):
    raise ValueError("stop")


def counted_files(paths, **options):
    counts = _native.WordCounts()
    counts.add_files(paths, **options)
    return counts.to_dict()


def native_cases(merges, directory):
    """The calls of ovilex._native, on files written to |directory|: the
    record files of |merges|, a small text file and one that is not UTF-8."""
    with contextlib.chdir(directory):
        assert encode_train(CORPUS) == merges
    merges_path = str(directory / "data" / "merges_record.json")
    vocab_path = str(directory / "data" / "vocab_list.json")
    damaged = directory / "damaged.json"
    damaged.write_text('[\n  {"pair": [1, 2], "id": 256}\n')
    text = "".join(CORPUS)
    small = directory / "small.txt"
    small.write_text(text, encoding="utf-8")
    not_utf8 = directory / "not_utf8.txt"
    not_utf8.write_bytes(b"ok\n\xff\n")
    missing = directory / "missing.txt"

    tok = _native.Tokenizer(merges, vocab_from_merges(merges))
    ids = encode(_native.split(text), merges)
    special = _native.Tokenizer(merges, vocab_from_merges(merges), {"<|e|>": 9000})
    ranked = _native.Tokenizer(merges, vocab_from_merges(merges), merging="merge_rank",
                               whole_chunks=True)
    # merges with the new ids from 70000 on.
    far_ids = {new: 70000 + k for k, (_, new) in enumerate(merges)}
    far_vocab = {far_ids.get(i, i): b for i, b in vocab_from_merges(merges).items()}
    far_merges = [((far_ids.get(a, a), far_ids.get(b, b)), far_ids[new])
                  for (a, b), new in merges]
    # Long enough in all to be encoded on threads without the interpreter lock.
    batch = [text] * 8
    offsets = array.array("Q", range(0, len(ids) * (len(batch) + 1), len(ids)))
    return [
        Case("Tokenizer encode", lambda: tok.encode(text), ok(ids)),
        Case("Tokenizer encode_batch on threads", lambda: tok.encode_batch(batch, threads=2),
             ok([ids] * len(batch)), threads=True),
        Case("Tokenizer encode_batch_array on threads",
             lambda: tok.encode_batch_array(batch, threads=2),
             ok((array.array("H", ids * len(batch)), offsets)), threads=True),
        Case("Tokenizer count_batch on threads", lambda: tok.count_batch(batch, threads=2),
             ok([len(ids)] * len(batch)), threads=True),
        Case("Tokenizer count_in_files on threads",
             lambda: tok.count_in_files([small, small], threads=2), ok([len(ids)] * 2),
             threads=True),
        Case("Tokenizer count_in_files not UTF-8", lambda: tok.count_in_files([small, not_utf8]),
             SourceError, f"{not_utf8}: not UTF-8 text (line 2, byte 0xff)", threads=True),
        Case("Tokenizer encode_array dtype", lambda: tok.encode_array(text, dtype="uint32"),
             ok(array.array("I", ids))),
        Case("Tokenizer encode_array unknown dtype", lambda: tok.encode_array(text, dtype="i4"),
             ValueError, "encode_array() argument 'dtype' must be 'uint16', 'uint32', 'H', 'I', "
             "numpy.uint16 or numpy.uint32, not 'i4'"),
        Case("Tokenizer encode_batch int item", lambda: tok.encode_batch([text, 1]), TypeError,
             "encode_batch() argument 'texts' must hold str, found int at index 1"),
        Case("Tokenizer decode list", lambda: tok.decode(ids), ok(text)),
        Case("Tokenizer decode array", lambda: tok.decode(array.array("H", ids)), ok(text)),
        Case("Tokenizer decode unknown id", lambda: tok.decode(ids + [9999]), KeyError,
             "'unknown token id 9999 in vocab_list'"),
        Case("Tokenizer decode str id", lambda: tok.decode(ids + ["x"]), TypeError,
             prefixed("ids", "'str' object cannot be interpreted as an integer")),
        Case("Tokenizer decode invalid UTF-8", lambda: tok.decode(ids + [255]), ValueError,
             f"decoded bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index "
             f"{len(text.encode())}"),
        Case("Tokenizer special tokens allowed",
             lambda: special.encode_batch([text + "<|e|>"], allowed_special="all"),
             ok([ids + [9000]])),
        Case("Tokenizer special tokens as text", lambda: special.encode("<|e|>"),
             ok(tok.encode("<|e|>"))),
        Case("Tokenizer special token unknown",
             lambda: special.encode(text, allowed_special={"<|x|>"}), ValueError,
             "encode() argument 'allowed_special': '<|x|>' is not a special token of this "
             "tokenizer"),
        Case("Tokenizer special tokens", lambda: special.special_tokens, ok({"<|e|>": 9000})),
        Case("Tokenizer merged by rank", lambda: ranked.encode_array(text),
             ok(array.array("H", ids))),
        Case("Tokenizer far ids, merges as lists",
             lambda: _native.Tokenizer([[list(pair), new] for pair, new in far_merges], far_vocab,
                                       {"<|e|>": 2**32 - 2}).vocab_size,
             ok(len(far_vocab))),
        Case("Tokenizer merge of the wrong shape",
             lambda: _native.Tokenizer(merges + [((97, 98), 256, 1)], far_vocab), TypeError,
             "a merge must be ((left, right), new), found ((97, 98), 256, 1)"),
        Case("Tokenizer merge id out of range",
             lambda: _native.Tokenizer(merges + [((97, 98), 2**32 - 1)], far_vocab), ValueError,
             "a merge must hold ids 0 to 4294967294, found ((97, 98), 4294967295)"),
        Case("Tokenizer vocabulary id out of range",
             lambda: _native.Tokenizer([], {**far_vocab, 2**32: b"ab"}), ValueError,
             "the vocabulary must map ids 0 to 4294967294 to one or more bytes, found "
             "4294967296: b'ab'"),
        Case("Tokenizer special token id out of range",
             lambda: _native.Tokenizer([], far_vocab, {"<|e|>": 2**40}), ValueError,
             "special token '<|e|>' has the id 1099511627776, expected 0 to 4294967294"),
        Case("load_records",
             lambda: _native.load_records(_native.Tokenizer, merges_path, vocab_path).merges,
             ok(merges)),
        Case("load_records missing file",
             lambda: _native.load_records(_native.Tokenizer, str(missing), vocab_path),
             RecordError, f"no such file: {missing}"),
        Case("load_records damaged record",
             lambda: _native.load_records(_native.Tokenizer, str(damaged), vocab_path),
             RecordError, f'{damaged}, line 3: expected an entry {{"pair":[LEFT,RIGHT],"id":ID}} '
                          "with ids 0 to 4294967294, found ''"),
        Case("load_records cls not a Tokenizer class",
             lambda: _native.load_records(dict, merges_path, vocab_path), TypeError,
             "load_records() argument 'cls' must be a Tokenizer class"),
        Case("WordCounts add_files on threads", lambda: counted_files([small], threads=2),
             ok(dict(collections.Counter(_native.split(text)))), threads=True),
        Case("WordCounts add_files missing file", lambda: counted_files([missing]),
             FileNotFoundError, f"[Errno 2] No such file or directory: '{missing}'", threads=True),
        Case("WordCounts add_files not UTF-8", lambda: counted_files([not_utf8]), SourceError,
             f"{not_utf8}: not UTF-8 text (line 2, byte 0xff)", threads=True),
        Case("WordCounts add_files progress raises",
             lambda: counted_files([small], progress=raise_stop), ValueError, "stop",
             threads=True),
        Case("WordCounts add_files errors='ignore'", lambda: counted_files([small], errors="ignore"),
             ValueError, "errors must be 'strict' or 'replace', found 'ignore'"),
    ]


# -------------------------------------------------------------- measuring


@contextlib.contextmanager
def quiet_stderr():
    """Sends file descriptor 2 to /dev/null (the module writes diagnostics
    there itself, below sys.stderr)."""
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        yield
    finally:
        sys.unraisablehook = hook
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


def rss():
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * PAGE


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as e:  # PanicException derives from BaseException only
        return (type(e), str(e))


def repeat(call, n):
    for _ in range(n):
        try:
            call()
        except BaseException:
            pass


def measure(case, calls, rounds):
    """The growth of each count in each round after a warm-up."""
    n = max(1, int(calls * case.weight))
    repeat(case.call, n * case.warmup)
    # Every sample replaces a large int made beforehand, so that storing it
    # adds no reference and no block of its own.
    samples = [[int(f"{BIG + k}") for k in range(4)] for _ in range(rounds + 1)]
    for r in range(rounds + 1):
        if r > 0:
            repeat(case.call, n)
        gc.collect()
        sample = samples[r]
        sample[0] = sys.gettotalrefcount()
        sample[1] = sys.getallocatedblocks()
        sample[2] = rss()
        sample[3] = BIG + open_fds()
    deltas = [[samples[r + 1][k] - samples[r][k] for r in range(rounds)] for k in range(4)]
    return n, deltas


def steady(deltas, slack):
    """Growth in every round by more than |slack|, and not dying away (the
    last round grows by at least half as much as the first): a cache that
    fills, or the interpreter's own bookkeeping, gives a few units that
    shrink from round to round; a leak gives about the same every round."""
    return bool(deltas) and all(d > slack for d in deltas) and 2 * deltas[-1] >= deltas[0]


def check_outcome(case):
    """None, or why the case does not take the path it is named after."""
    got = outcome(case.call)
    if isinstance(case.expect, tuple):
        if got != case.expect:
            return f"expected a result, got {got[0]!r}: {str(got[1])[:200]}"
        return None
    if got[0] is not case.expect:
        return f"expected {case.expect.__name__}, got {got[0]!r}: {str(got[1])[:200]}"
    if case.message is not None and got[1] != case.message:
        return f"expected message {case.message!r}, got {got[1]!r}"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500, help="calls per round")
    parser.add_argument("--rounds", type=int, default=3, help="measured rounds after the warm-up")
    parser.add_argument("-k", action="append", default=[], help="run only cases containing TEXT")
    opts = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleak.py: needs the debug interpreter (python3.14-dbg)")

    with tempfile.TemporaryDirectory(prefix="ovilex-refleak-") as scratch:
        scratch = pathlib.Path(scratch)
        with contextlib.chdir(scratch):
            merges = encode_train(CORPUS)
            big_merges = encode_train(BIG_CORPUS)
        native = scratch / "native"
        native.mkdir()
        cases = make_cases(merges, big_merges) + native_cases(merges, native)
        if opts.k:
            cases = [c for c in cases if any(k in c.name for k in opts.k)]
        findings = []
        rows = []
        for i, case in enumerate(cases):
            workdir = scratch / f"case{i}"
            workdir.mkdir()
            if case.cwd is not None:
                case.cwd(workdir)
            with contextlib.chdir(workdir), (quiet_stderr() if case.noisy else
                                             contextlib.nullcontext()):
                wrong = check_outcome(case)
                n, (refs, blocks, mem, fds) = (0, ([], [], [], [])) if wrong else measure(
                    case, opts.calls, opts.rounds)
            problems = []
            if wrong:
                problems.append(wrong)
            # Every call of a case takes the same path, so a leak leaks on
            # every call: at least n in a round. Less is the interpreter's
            # own bookkeeping (caches, interned names), which does not grow
            # with the calls.
            slack = n // 2
            if steady(refs, slack):
                problems.append(f"references grow: {refs}")
            if steady(blocks, slack):
                problems.append(f"allocated blocks grow: {blocks}")
            if steady(mem, RSS_SLACK) if case.threads else sum(mem) > RSS_SLACK * len(mem):
                problems.append(f"resident memory grows: {[d // 1024 for d in mem]} KiB")
            if any(fds):
                problems.append(f"open descriptors change: {fds}")
            findings += [f"{case.name}: {p}" for p in problems]
            rows.append((case.name, n, sum(refs), sum(blocks), sum(mem) // 1024, sum(fds),
                         "FAIL" if problems else "ok"))
            print(f"{case.name:<44} {'FAIL' if problems else 'ok'}", flush=True)

    width = max(len(r[0]) for r in rows)
    print()
    print(f"{'case':<{width}} | calls/round | refs | blocks | RSS KiB | fds | verdict")
    print(f"{'-' * width}-|-------------|------|--------|---------|-----|--------")
    for name, n, refs, blocks, mem, fds, verdict in rows:
        print(f"{name:<{width}} | {n:>11} | {refs:>4} | {blocks:>6} | {mem:>7} | {fds:>3} | "
              f"{verdict}")
    print(f"\ngrowth summed over {opts.rounds} rounds after a warm-up; "
          f"{len(rows)} cases, {len(findings)} findings")
    for f in findings:
        print("FINDING:", f)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
