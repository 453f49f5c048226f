"""Training straight from files: counted natively, in blocks and on threads,
with merges and record files byte-identical to _ovilex.encode_train on the
chunks of split() of each file's text."""

import collections
import pathlib
import random
import sysconfig

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ovilex import SPLIT_PATTERN, SourceError, Tokenizer, WordCounts, split
from reference import encode_train_records, records

WORDS = ["the", " quick", " brown", " fox", "'s", " 42", "\n", "  ", "\t", "é", " Москва", "日本",
         "👍🏽", "_x", ".", "\u00a0", "\u2028", "x'", "ll", "\r\n"]


def generated(seed, size):
    rng = random.Random(seed)
    parts = []
    total = 0
    while total < size:
        word = rng.choice(WORDS)
        parts.append(word)
        total += len(word)
    return "".join(parts)


@pytest.mark.parametrize("sizes, threads", [
    ([3000], 1),
    ([0, 5, 3000, 200], 2),
    # Past one block of reading, so that files are cut into pieces.
    ([9_000_000, 100], None),
])
def test_files_train_as_encode_train_of_their_chunks(tmp_path, sizes, threads):
    texts = [generated(i, size) + "ab" for i, size in enumerate(sizes)]  # ends mid-word
    paths = []
    for i, text in enumerate(texts):
        path = tmp_path / f"{i}.txt"
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    tok = Tokenizer.train(paths, workdir=tmp_path / "files", threads=threads)
    merges, expected = encode_train_records([c for t in texts for c in split(t)], tmp_path / "ref")
    assert tok.merges == merges
    assert records(tmp_path / "files") == expected
    # Texts given as str count alike.
    assert Tokenizer.train(texts, workdir=tmp_path / "texts").merges == merges


def test_real_files_train_as_encode_train_of_the_patterns_chunks(tmp_path):
    """The interpreter's own sources, read and split natively, against re's
    chunks of each file's text."""
    sources = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("*.py"))[:80]
    chunks = [c for p in sources for c in SPLIT_PATTERN.findall(p.read_bytes().decode("utf-8"))]
    assert len(chunks) > 300_000
    tok = Tokenizer.train(sources, workdir=tmp_path / "files", threads=2)
    merges, expected = encode_train_records(chunks, tmp_path / "ref")
    assert tok.merges == merges
    assert records(tmp_path / "files") == expected


def test_counts_are_the_chunks_of_each_file(tmp_path):
    texts = [generated(7, 5000), "x", "x", "", "tail'", "s"]
    paths = []
    for i, text in enumerate(texts):
        paths.append(tmp_path / f"{i}")
        paths[-1].write_text(text, encoding="utf-8")
    expected = collections.Counter(c for t in texts for c in split(t))
    for threads in (1, 3):
        counts = WordCounts()
        seen = []
        counts.add_files(paths, threads=threads, progress=seen.append)
        assert counts.to_dict() == expected
        assert (counts.chunks, counts.distinct) == (sum(expected.values()), len(expected))
        assert sum(seen) == sum(p.stat().st_size for p in paths)


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=40), st.integers(0, 30), st.sampled_from([b"\xff", b"\xc3", b"\xe2\x82",
                                                                    b"\xed\xa0\x80", b"\xc0\xaf",
                                                                    b"\xf4\x90\x80\x80"]))
def test_bytes_that_are_not_utf8_name_the_line_and_byte(tmp_path_factory, prefix, at, bad):
    raw = ("line\n" * at).encode() + prefix + bad + b"\nmore"
    path = tmp_path_factory.mktemp("bad") / "bad.txt"
    path.write_bytes(raw)
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw.count(b"\n", 0, e.start) + 1
        message = f"{path}: not UTF-8 text (line {line}, byte 0x{raw[e.start]:02x})"
    counts = WordCounts()
    with pytest.raises(SourceError) as info:
        counts.add_files([path])
    assert str(info.value) == message
    replaced = WordCounts()
    replaced.add_files([path], errors="replace")
    assert replaced.to_dict() == collections.Counter(split(raw.decode("utf-8", "replace")))


def test_files_that_cannot_be_read(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        Tokenizer.train([tmp_path / "missing.txt"], workdir=tmp_path)
    assert info.value.filename == str(tmp_path / "missing.txt")
    with pytest.raises(IsADirectoryError):
        WordCounts().add_files([tmp_path])
    with pytest.raises(ValueError) as info:
        WordCounts().add_files([], errors="ignore")
    assert str(info.value) == "errors must be 'strict' or 'replace', found 'ignore'"


def test_a_failed_write_leaves_the_old_records_whole(tmp_path):
    Tokenizer.train(["the cat the hat the bat"], workdir=tmp_path)
    before = records(tmp_path)
    vocab = tmp_path / "data/vocab_list.json"
    vocab.unlink()
    vocab.mkdir()  # in the way of the new vocabulary
    with pytest.raises(OSError) as info:
        Tokenizer.train(["a different text, a different text"], workdir=tmp_path)
    assert str(info.value).startswith(f"in {tmp_path}: failed to write data/vocab_list.json: ")
    assert (tmp_path / "data/merges_record.json").read_bytes() == before[0]
    assert sorted(p.name for p in (tmp_path / "data").iterdir()) == ["merges_record.json",
                                                                    "vocab_list.json"]


@pytest.mark.parametrize("counts", [
    {"ab": 3, " cd": 5, "": 2},
    collections.Counter(split(generated(3, 4000))),
])
def test_train_counts_is_train_chunks_of_every_chunk_that_often(tmp_path, counts):
    chunks = [c for c, n in counts.items() for _ in range(n)]
    random.Random(1).shuffle(chunks)
    merges, expected = encode_train_records(chunks, tmp_path / "ref")
    assert Tokenizer.train_counts(counts, workdir=tmp_path / "a").merges == merges
    assert Tokenizer.train_chunks(chunks, workdir=tmp_path / "b").merges == merges
    assert records(tmp_path / "a") == records(tmp_path / "b") == expected


@pytest.mark.parametrize("args, error, message", [
    ((1,), TypeError, "add() argument 'chunk' must be str, not int"),
    (("a", -1), ValueError, "add() argument 'count' must be 0 to 2**64-1, found -1"),
    (("a", "1"), TypeError, "add() argument 'count' must be int, not str"),
])
def test_word_counts_add_refuses_bad_arguments(args, error, message):
    with pytest.raises(error) as info:
        WordCounts().add(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["add_files", "add_count_files"])
@pytest.mark.parametrize("paths, kind", [("a.txt", "str"), (b"a.txt", "bytes")])
def test_one_path_is_not_taken_for_many(method, paths, kind):
    # Iterated, a lone path would be one path per character.
    with pytest.raises(TypeError) as e:
        getattr(WordCounts(), method)(paths)
    assert str(e.value) == (f"{method}() argument 'paths' must be an iterable of paths, "
                            f"not a single {kind}")
