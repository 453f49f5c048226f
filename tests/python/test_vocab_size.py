"""Training to any size: the limits of every training method and of the
command line against the naive trainer, the merges of a larger size
beginning with those of a smaller one, and ids past 65535 through the record
files, encoding, arrays and decoding."""

import array
import random
import string

import pytest

import reference as ref
from ovilex import Tokenizer, WordCounts, split


def random_corpus(seed, chunks=3000, pool=400, letters="abcdeé"):
    rng = random.Random(seed)
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(0, 12)))
             for _ in range(pool)]
    return [words[min(int(rng.expovariate(8 / pool)), pool - 1)] for _ in range(chunks)]


def train_by(method, chunks, workdir, **limits):
    """The same chunks through each training method."""
    if method == "chunks":
        return Tokenizer.train_chunks(chunks, workdir=workdir, **limits)
    if method == "texts":
        # Chunks that split as themselves: each is one text of its own.
        return Tokenizer.train(chunks, workdir=workdir, threads=2, **limits)
    counts = WordCounts()
    counts.add_chunks(chunks)
    if method == "counts":
        return Tokenizer.train_counts(counts, workdir=workdir, **limits)
    counts.save(workdir.parent / "c.counts")
    return Tokenizer.train_count_files([workdir.parent / "c.counts"], workdir=workdir, **limits)


LIMITS = [
    {}, {"vocab_size": 256}, {"vocab_size": 300}, {"min_frequency": 0}, {"min_frequency": 1},
    {"min_frequency": 9}, {"max_token_length": 1}, {"max_token_length": 2},
    {"max_token_length": 3, "min_frequency": 1},
    {"vocab_size": 700, "min_frequency": 2, "max_token_length": 4},
]


@pytest.mark.parametrize("method", ["chunks", "texts", "counts", "count_files"])
@pytest.mark.parametrize("limits", LIMITS, ids=repr)
def test_limits_match_the_naive_trainer(tmp_path, method, limits):
    chunks = [c for c in random_corpus(len(repr(limits))) if split(c) == [c]]
    tok = train_by(method, chunks, tmp_path / "wd", **limits)
    expected = ref.train(chunks, **limits)
    assert tok.merges == expected
    assert ref.records(tmp_path / "wd") == ref.record_texts(expected)
    longest = limits.get("max_token_length")
    if longest is not None:
        assert max(len(tok.id_to_bytes(i)) for i in range(tok.vocab_size)) <= longest


@pytest.mark.parametrize("settings, error, message", [
    ({"vocab_size": 255}, ValueError, "vocab_size must be 256 to 4294967295, found 255"),
    ({"vocab_size": 2**32}, ValueError, "vocab_size must be 256 to 4294967295, found 4294967296"),
    ({"vocab_size": 8000.0}, TypeError, "vocab_size must be an int, not float"),
    ({"vocab_size": True}, TypeError, "vocab_size must be an int, not bool"),
    ({"min_frequency": -1}, ValueError, "min_frequency must be 0 or more, found -1"),
    ({"max_token_length": 0}, ValueError, "max_token_length must be 1 or more, found 0"),
    ({"max_token_length": "3"}, TypeError, "max_token_length must be an int, not str"),
])
def test_bad_settings_are_refused_before_any_work(tmp_path, settings, error, message):
    # A path that does not exist: checked first, the settings never reach it.
    with pytest.raises(error) as info:
        Tokenizer.train([tmp_path / "missing.txt"], workdir=tmp_path / "wd", **settings)
    assert str(info.value) == message
    assert not (tmp_path / "wd").exists()


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    """Distinct random words, each once, trained to 70,000 ids with least
    frequency 1: (chunks, workdir, tokenizer)."""
    rng = random.Random(65536)
    seen = set()
    chunks = []
    while len(chunks) < 14000:
        word = "".join(rng.choice(string.ascii_letters) for _ in range(rng.randint(6, 24)))
        if word not in seen:
            seen.add(word)
            chunks.append(word)
    workdir = tmp_path_factory.mktemp("wide")
    tok = Tokenizer.train_chunks(chunks, workdir=workdir, vocab_size=70000, min_frequency=1)
    return chunks, workdir, tok


def test_larger_sizes_begin_with_the_merges_of_smaller_ones(wide, tmp_path):
    chunks, _, tok = wide
    assert len(tok.merges) == 70000 - 256
    for size in (8000, 65536, 66000):
        smaller = Tokenizer.train_chunks(chunks, workdir=tmp_path, vocab_size=size, min_frequency=1)
        assert smaller.merges == tok.merges[:size - 256]


def test_ids_past_65535_round_trip(wide):
    chunks, workdir, tok = wide
    loaded = Tokenizer.load(workdir)
    assert loaded.merges == tok.merges and loaded.vocab == tok.vocab
    sample = random.Random(1).sample(chunks, 12)
    expected = ref.encode(sample, tok.merges)
    assert max(expected) > 65535
    assert [i for c in sample for i in loaded.encode(c)] == expected
    text = " ".join(chunks[:2000])
    ids = loaded.encode(text)
    assert max(ids) > 65535
    assert loaded.decode(ids) == text
    flat = loaded.encode_array(text)
    assert flat.typecode == "I" and flat.tolist() == ids
    assert loaded.decode(flat) == text
    assert loaded.decode(array.array("I", ids)) == text
