"""Files cut into pieces for the cluster's tasks, without a cluster: the
pieces join to the file, split as it does, and encode to its ids under
every split pattern."""

import array
import pathlib
import random
import sysconfig

import pytest

from ovilex import Tokenizer, _native, cluster, pieces, split
from words import generated


@pytest.mark.parametrize("window", [1, 3, 7, 64, 1 << 16])
def test_pieces_join_to_the_file_and_split_as_it(tmp_path, monkeypatch, window):
    monkeypatch.setattr(pieces, "WINDOW", window)
    rng = random.Random(window)
    for trial in range(60):
        text = generated(trial, rng.randrange(0, 300))
        path = tmp_path / f"f{trial}.txt"
        data = text.encode()
        path.write_bytes(data)
        for lines in (False, True):
            span = rng.choice([1, 2, 5, 16, 100])
            read = [pieces.read_piece(p)
                    for p in pieces.pieces(str(path), len(data), span, lines)]
            got = [r for r in read if r is not None]
            assert [start for start, _ in got] == \
                [sum(len(b) for _, b in got[:i]) for i in range(len(got))]
            assert b"".join(b for _, b in got) == data
            if lines:
                assert all(b.endswith(b"\n") for _, b in got[:-1])
            else:
                assert [c for _, b in got for c in split(b.decode())] == split(text)


# ----------------------------------------------------------------------
# Every split pattern, with and without a prefix space: the pieces that a
# cluster's tasks encode give the ids of the whole file.

PATTERNS = ["ovilex", "gpt2", "cl100k", "llama3", "qwen2", "o200k"]

# Where the patterns part ways: whitespace runs of every kind, CR and LF,
# digit runs, contractions in both cases and with U+017F, cased, title and
# modifier letters, marks, symbols that lead letters.
PARTS = [" ", "  ", "   ", "\t", "\n", "\r\n", "\r", "\n\n ", " \n", "\u00a0", "\u3000",
         "\v\f", "a", "Word", "WORD", "word", "é", "É", "Σας", "ǅx", "ʰ", "\u0301", "a\u0308",
         "\u0903", "1", "12", "1234567", "١٢٣", "Ⅷ", "'s", "'S", "'re", "'RE", "'ll", "'Ll",
         "'\u017f", "'", "!", "?!", "/", "//\n", "_", ".\r\n", "日本語", "👍🏽", " the", " 42",
         " !"]


def adversarial(seed, size):
    rng = random.Random(seed)
    return "".join(rng.choice(PARTS) for _ in range(size))


def stdlib_text(size):
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("[a-c]*.py"))
    text = ""
    for p in paths:
        text += p.read_text(encoding="utf-8")
        if len(text) >= size:
            break
    return text[:size]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """Merges and vocabulary learned from the test texts, to encode by every
    pattern."""
    top = tmp_path_factory.mktemp("trained")
    tok = Tokenizer.train([stdlib_text(200_000) + adversarial(0, 20_000)], workdir=top,
                          vocab_size=1256, min_frequency=2)
    return tok.merges, tok.vocab


@pytest.mark.parametrize("prefix_space", [False, True])
@pytest.mark.parametrize("pattern", PATTERNS)
def test_encoded_pieces_are_the_ids_of_the_whole_file(trained, tmp_path, pattern, prefix_space):
    tok = Tokenizer(*trained, pattern=pattern, prefix_space=prefix_space)
    inside = pieces.inside_tokenizer(tok)
    assert inside.prefix_space is False and inside.vocab == tok.vocab
    texts = [stdlib_text(30_000), adversarial(1, 6000), "\n" + "x" * 300, "\r\n" + "7" * 300,
             "\t\t" + "!" * 300 + " a", " lead", ""]
    for k, text in enumerate(texts):
        path = tmp_path / f"t{k}.txt"
        data = text.encode()
        path.write_bytes(data)
        whole = tok.encode(text)
        for span in (37, 64, 1000):
            got = []
            parts = [p for p in pieces.pieces(str(path), len(data), span, tok=tok)]
            for piece in parts:
                ids, ends = cluster._encode_piece(tok, inside, "I", piece, None, None)
                assert ends is None
                got += array.array("I", ids).tolist()
            assert got == whole, (k, span)
        # Enough pieces that cuts land everywhere.
        assert len(parts) >= len(data) // 1000


def _message(call):
    try:
        call()
    except (TypeError, ValueError) as e:
        return type(e), str(e)
    raise AssertionError("no error")


@pytest.mark.parametrize("call, expected", [
    # An unknown pattern, as split names it.
    (lambda: _native.last_safe_cut(b"a b", pattern="p50k"),
     _message(lambda: _native.split("a b", pattern="p50k"))),
    (lambda: _native.last_safe_cut(b"a b", pattern=3),
     (TypeError, "last_safe_cut() argument 'pattern' must be str or None, not int")),
    (lambda: _native.check_read_in_pieces("tok", "write_shards"),
     (TypeError, "check_read_in_pieces() argument 'tokenizer' must be a Tokenizer, not str")),
])
def test_argument_errors(call, expected):
    assert _message(call) == expected
