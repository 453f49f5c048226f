"""Counting tokens against the lengths of encode, the id arrays' types, and
the command ovilex count-tokens against tok.count of each file."""

import random
import subprocess
import sys

import pytest

from ovilex import Tokenizer
from test_compiled import MULTILINGUAL, REAL

SPECIALS = ["<|endoftext|>", "<|pad|>"]


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """The workdir of a tokenizer trained on real text, with special tokens:
    its ids end well below 65536."""
    workdir = tmp_path_factory.mktemp("w")
    Tokenizer.train(REAL[:2] + [MULTILINGUAL * 20], workdir=workdir, special_tokens=SPECIALS)
    return workdir


@pytest.fixture(scope="module")
def trained(workdir):
    return Tokenizer.load(workdir)


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    """A tokenizer whose merges make every two bytes a token: 65536 merges,
    ids up to 65791, read from record files. The pairs that begin with "x"
    get the ids above 65535."""
    merges, vocab = [], [f'  {{"id":{i},"bytes":[{i}]}}' for i in range(256)]
    for i in range(256 * 256):
        first, second = divmod(i, 256)
        first = (first + ord("x") + 1) % 256  # "x" last
        merges.append(f'  {{"pair":[{first},{second}],"id":{256 + i}}}')
        vocab.append(f'  {{"id":{256 + i},"bytes":[{first},{second}]}}')
    data = tmp_path_factory.mktemp("wide") / "data"
    data.mkdir()
    (data / "merges_record.json").write_text("[\n" + ",\n".join(merges) + "\n]")
    (data / "vocab_list.json").write_text("[\n" + ",\n".join(vocab) + "\n]")
    return Tokenizer.load(data.parent)


def random_texts(n, seed):
    """Texts of every character class, special tokens' texts and pieces of
    them among them."""
    pieces = list("ab zZ1'_.\n\t\r") + ["'s", "é", "\u00a0", "日本", "👍🏽", "  ", "<|", "|>",
                                        "<|endoftext|>", "<|pad|>", "<|endoftext"]
    rng = random.Random(seed)
    return ["".join(rng.choice(pieces) for _ in range(rng.randrange(80))) for _ in range(n)]


# ----------------------------------------------------------------------
# count and count_batch


@pytest.mark.parametrize("allowed", [(), None, "all", {"<|pad|>"}], ids=repr)
@pytest.mark.parametrize("rules", [{}, {"pattern": "gpt2", "prefix_space": True}], ids=repr)
def test_counts_are_the_lengths_of_encode(trained, rules, allowed):
    tok = Tokenizer(trained.merges, trained.vocab, trained.special_tokens, **rules)
    # Twice: the second time the cache holds every chunk.
    texts = REAL + [MULTILINGUAL, "", " ", "x" * 20000] + random_texts(300, 1) + REAL
    expected = [len(tok.encode(t, allowed_special=allowed)) for t in texts]
    assert [tok.count(t, allowed_special=allowed) for t in texts] == expected
    for threads in (1, 3, None):
        assert tok.count_batch(texts, threads, allowed_special=allowed) == expected
    assert tok.count_batch([]) == []


@pytest.mark.parametrize("call, args, error, message", [
    ("count", (b"text",), TypeError, "count() argument 'text' must be str, not bytes"),
    ("count_batch", ("text",), TypeError,
     "count_batch() argument 'texts' must be an iterable of str, not a single str"),
    ("count_batch", (["a"], 0), ValueError, "threads must be 1 or more, found 0"),
    ("count_in_files", ("a.txt",), TypeError,
     "count_in_files() argument 'paths' must be an iterable of paths, not a single str"),
])
def test_count_arguments(trained, call, args, error, message):
    with pytest.raises(error) as info:
        getattr(trained, call)(*args)
    assert str(info.value) == message


# ----------------------------------------------------------------------
# dtype


class Named:
    """An object that names a type by its str(), as numpy.dtype does."""

    def __init__(self, name):
        self.name = name

    def __str__(self):
        return self.name

    def __repr__(self):
        return f"Named({self.name!r})"


WRONG = ("encode_array() argument 'dtype' must be 'uint16', 'uint32', 'H', 'I', numpy.uint16 or "
         "numpy.uint32, not {}")
TOO_NARROW = "dtype uint16 cannot hold the id 65657; ask for uint32"

# (tokenizer, text, dtype, the typecode, or the ValueError's message: WRONG
# for the one that names a dtype not taken)
DTYPES = [
    ("trained", "Hello, wörld!", None, "H"),
    ("trained", "Hello, wörld!", "uint16", "H"),
    ("trained", "Hello, wörld!", "H", "H"),
    ("trained", "Hello, wörld!", "uint32", "I"),
    ("trained", "Hello, wörld!", "I", "I"),
    ("trained", "", None, "H"),
    ("trained", "Hello", type("uint32", (), {}), "I"),
    ("trained", "Hello", Named("uint16"), "H"),
    # Every id of the tokenizer decides, not the ids of the text.
    ("wide", "hello world", None, "I"),
    ("wide", "", None, "I"),
    ("wide", "hello world", "uint16", "H"),
    ("wide", "xy hello", "uint32", "I"),
    ("wide", "xy hello", "uint16", TOO_NARROW),
    ("wide", "xy hello", "H", TOO_NARROW),
    ("trained", "a", "int8", WRONG),
    ("trained", "a", "h", WRONG),
    ("trained", "a", "u2", WRONG),
    ("trained", "a", 16, WRONG),
    ("trained", "a", Named("int16"), WRONG),
    ("trained", "a", type("int32", (), {}), WRONG),
]


@pytest.mark.parametrize("which, text, dtype, expected", DTYPES, ids=repr)
def test_dtype(request, which, text, dtype, expected):
    tok = request.getfixturevalue(which)
    ids = tok.encode(text)
    texts = [text, text[::-1], ""]
    if len(expected) > 1:
        message = WRONG.format(repr(dtype)) if expected is WRONG else expected
        with pytest.raises(ValueError) as info:
            tok.encode_array(text, dtype=dtype)
        assert str(info.value) == message
        with pytest.raises(ValueError) as info:
            tok.encode_batch_array(texts, dtype=dtype)
        assert str(info.value) == message.replace("encode_array()", "encode_batch_array()")
        return
    array = tok.encode_array(text, dtype=dtype)
    assert (array.typecode, array.tolist()) == (expected, ids)
    flat, offsets = tok.encode_batch_array(texts, dtype=dtype, allowed_special="all")
    each = [tok.encode(t, allowed_special="all") for t in texts]
    assert (flat.typecode, flat.tolist()) == (expected, [i for e in each for i in e])
    ends = [len(each[0]), len(each[0]) + len(each[1])]
    assert list(offsets) == [0, *ends, ends[-1]]


def test_dtype_takes_numpy_types_and_dtypes(wide):
    numpy = pytest.importorskip("numpy")
    for dtype, typecode in [(numpy.uint16, "H"), (numpy.dtype("uint16"), "H"),
                            (numpy.uint32, "I"), (numpy.dtype("<u4"), "I")]:
        array = wide.encode_array("hello", dtype=dtype)
        assert (array.typecode, array.tolist()) == (typecode, wide.encode("hello"))
        assert numpy.array_equal(numpy.frombuffer(array, dtype=dtype), wide.encode("hello"))
    for dtype in (numpy.int16, numpy.dtype(">u2"), numpy.float32):
        with pytest.raises(ValueError) as info:
            wide.encode_array("hello", dtype=dtype)
        assert str(info.value) == WRONG.format(repr(dtype))


# ----------------------------------------------------------------------
# count_in_files and ovilex count-tokens


@pytest.mark.parametrize("prefix_space", [False, True])
@pytest.mark.parametrize("pattern, normalizer", [
    *((p, None) for p in ["ovilex", "gpt2", "cl100k", "llama3", "qwen2", "o200k"]),
    ("qwen2", "nfc"), ("o200k", "nfc")])
def test_count_in_files_under_every_pattern_counts_each_whole_file(trained, tmp_path, pattern,
                                                                   normalizer, prefix_space):
    """Files past the reader's first block (4 MiB), cut where each pattern
    may be cut (and the pieces normalize apart), the prefix space before a
    file's first piece only."""
    tok = Tokenizer(trained.merges, trained.vocab, pattern=pattern, prefix_space=prefix_space,
                    normalizer=normalizer)
    unit = "\n".join(REAL) + MULTILINGUAL + "\r\n  \t" + "cafe\u0301 A\u030a\u0301b \u1100\u1161\n"
    # The first block (4 MiB, not a multiple of 3) ends inside "\x01\x02", so
    # the second piece starts with it, which a space before would change.
    texts = [unit * (4_300_000 // len(unit.encode())), "\x01\x02\n" * 1_500_000, "\n" + unit, ""]
    paths = []
    for i, text in enumerate(texts):
        paths.append(tmp_path / f"{i}.txt")
        paths[-1].write_bytes(text.encode())
    assert tok.count_in_files(paths, threads=2) == [tok.count(text) for text in texts]


def cli(package_env, cwd, *args):
    return subprocess.run([sys.executable, "-m", "ovilex", "count-tokens", *args], cwd=cwd,
                          capture_output=True, env=package_env, timeout=120)


def test_count_tokens_prints_the_count_of_every_file(package_env, trained, workdir, tmp_path):
    texts = {"a.txt": "\n".join(REAL) * 3, "b.txt": MULTILINGUAL * 40 + "<|endoftext|>",
             "empty.txt": "", "c.jsonl": '{"text": "one two"}\n\n{"text": "<|pad|> th\\u00e9"}\n'}
    for name, text in texts.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    names = ["a.txt", "b.txt", "empty.txt"]
    expected = [trained.count(texts[name]) for name in names]
    assert expected[0] > 100_000
    for jobs in ("1", "2"):
        done = cli(package_env, tmp_path, *names, "--workdir", str(workdir), "--jobs", jobs)
        assert (done.returncode, done.stderr) == (0, b"")
        assert done.stdout.decode().splitlines() == \
            [f"{n} {name}" for n, name in zip(expected, names)] + [f"{sum(expected)} total"]
    assert trained.count_in_files([tmp_path / n for n in names], threads=2) == expected

    done = cli(package_env, tmp_path, "c.jsonl", "--workdir", str(workdir), "--jsonl", "text")
    assert (done.returncode, done.stdout.decode()) == \
        (0, f"{trained.count('one two') + trained.count('<|pad|> thé')} c.jsonl\n")


def test_count_tokens_refuses_a_file_it_cannot_count(package_env, workdir, tmp_path):
    (tmp_path / "good.txt").write_text("fine\n")
    (tmp_path / "bad.txt").write_bytes(b"ok\nok\n\xe9t\xe9\n")
    (tmp_path / "bad.jsonl").write_text('{"text": "a"}\n{"other": "b"}\n')
    for args, message in [
        (["good.txt", "bad.txt"], "bad.txt: not UTF-8 text (line 3, byte 0xe9)"),
        (["good.txt", "missing.txt"], "no such file: missing.txt"),
        (["bad.jsonl", "--jsonl", "text"], 'bad.jsonl, line 2: no field "text"'),
    ]:
        done = cli(package_env, tmp_path, *args, "--workdir", str(workdir))
        assert (done.returncode, done.stdout) == (1, b"")
        assert done.stderr.decode() == f"ovilex: error: {message}\n"
