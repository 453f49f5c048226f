"""The compiled Tokenizer against the functions of _ovilex called directly:
every id of encode equals _ovilex.encode(split(text), merges), every decode
equals _ovilex.decode_string, on real and generated text, from one thread or
many."""

import array
import random
import sys
import sysconfig
import pathlib
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ovilex
from ovilex import SPLIT_PATTERN, Tokenizer, split

# Real text: a slice of the standard library's sources, and text in several
# scripts.
STDLIB = pathlib.Path(sysconfig.get_path("stdlib"))
REAL = [(STDLIB / name).read_text(encoding="utf-8") for name in
        ("textwrap.py", "difflib.py", "argparse.py", "tokenize.py")]
MULTILINGUAL = ("Москва — столица России. Ελλάδα, Αθήνα 2024. 日本語のテキスト。東京\n"
                "مرحبا بالعالم ١٢٣ हिन्दी café crème we'll don't 👍🏽👨\u200d👩\u200d👧 x² Ⅻ\t\u00a0\u3000")

# Characters of every class the splitter tells apart, for generated text.
ALPHABET = st.sampled_from(list("ab zZ1'_.\n\t\r") + ["'s", "'ll", "é", "\u0301", "\u00a0",
                                                       "٣", "日本", "👍🏽", "\u2028", "  "])
TEXTS = st.lists(ALPHABET, max_size=60).map("".join) | st.text(max_size=60)


@pytest.fixture(scope="module")
def tok(tmp_path_factory):
    """A tokenizer with a few thousand merges, trained on real text."""
    return Tokenizer.train(REAL[:2] + [MULTILINGUAL * 20], workdir=tmp_path_factory.mktemp("w"))


def reference_encode(tok, text):
    return _ovilex.encode(split(text), tok.merges)


class TestEncode:
    @pytest.mark.parametrize("text", REAL + [MULTILINGUAL, "", " ", "a", "\n\n", "x" * 20000])
    def test_real_text_matches_encode_of_the_chunks(self, tok, text):
        # Twice: the second call finds every chunk in the cache.
        for _ in range(2):
            ids = tok.encode(text)
            as_array = tok.encode_array(text)
            assert ids == as_array.tolist() == reference_encode(tok, text)
        assert (memoryview(as_array).format, as_array.itemsize) == ("H", 2)
        # Back from a list, a tuple and the array alike.
        assert tok.decode(ids) == tok.decode(tuple(ids)) == tok.decode(as_array) == text
        assert tok.decode_bytes(ids) == text.encode("utf-8")

    @settings(max_examples=400, deadline=None)
    @given(text=TEXTS.filter(lambda t: not any(0xD800 <= ord(c) <= 0xDFFF for c in t)))
    def test_generated_text_matches_encode_of_the_chunks(self, tok, text):
        assert tok.encode(text) == reference_encode(tok, text)

    def test_chunks_are_encoded_whole(self, tok):
        chunks = split(MULTILINGUAL) + ["  x", "ab cd"]  # the last two are not split again
        assert tok.encode_chunks(chunks) == [_ovilex.encode([c], tok.merges) for c in chunks]

    def test_lone_surrogates_raise_what_utf8_encoding_raises(self, tok):
        text = "ok \ud800 no"
        assert split(text) == SPLIT_PATTERN.findall(text) == ["ok", " \ud800", " no"]
        for call in (tok.encode, tok.encode_array, lambda t: tok.encode_batch([t])):
            with pytest.raises(UnicodeEncodeError) as info:
                call(text)
            assert "surrogates not allowed" in str(info.value)
        with pytest.raises(UnicodeEncodeError):
            _ovilex.encode(split(text), tok.merges)

    @pytest.mark.parametrize("call, arg, error, message", [
        ("encode", b"bytes", TypeError, "encode() argument 'text' must be str, not bytes"),
        ("encode_array", 3, TypeError, "encode_array() argument 'text' must be str, not int"),
        ("encode_batch", "text", TypeError,
         "encode_batch() argument 'texts' must be an iterable of str, not a single str"),
        ("encode_batch", ["a", 1], TypeError,
         "encode_batch() argument 'texts' must hold str, found int at index 1"),
        ("encode_batch", 5, TypeError, "'int' object is not iterable"),
    ])
    def test_bad_arguments(self, tok, call, arg, error, message):
        with pytest.raises(error) as info:
            getattr(tok, call)(arg)
        assert str(info.value) == message


class TestBatch:
    TEXTS = REAL + [MULTILINGUAL, "", "a", " "] + [MULTILINGUAL[i:] for i in range(0, 200, 7)]

    @pytest.mark.parametrize("threads", [None, 1, 2, 8])
    def test_batch_is_one_encode_per_text(self, tok, threads):
        expected = [reference_encode(tok, t) for t in self.TEXTS]
        assert tok.encode_batch(self.TEXTS, threads=threads) == expected
        ids, offsets = tok.encode_batch_array(iter(self.TEXTS), threads=threads)
        assert (ids.typecode, offsets.typecode) == ("H", "Q")
        assert list(offsets) == [0] + [sum(map(len, expected[:i + 1])) for i in range(len(expected))]
        assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(expected))] == expected

    def test_empty_batch(self, tok):
        assert tok.encode_batch([]) == []
        ids, offsets = tok.encode_batch_array([])
        assert (list(ids), list(offsets)) == ([], [0])

    @pytest.mark.parametrize("threads, error, message", [
        (0, ValueError, "threads must be 1 or more, found 0"),
        (-3, ValueError, "threads must be 1 or more, found -3"),
        (1.5, TypeError, "threads must be an int or None, not float"),
    ])
    def test_bad_thread_counts(self, tok, threads, error, message):
        with pytest.raises(error) as info:
            tok.encode_batch(["a"], threads=threads)
        assert str(info.value) == message


class TestDecode:
    IDS = [
        [], [104, 105], [65535], [195], [195, 169], [97, 300, 2**32], [-1], [2**70], [True, 97],
        ["a"], [1.0], (97, 98), range(97, 100), array.array("H", [97, 98]),
        array.array("B", [97, 98]), array.array("I", [97, 98]), b"ab", bytearray(b"ab"),
        memoryview(array.array("H", [99, 65535])), 7, None, "ab",
    ]

    @pytest.mark.parametrize("ids", IDS, ids=repr)
    def test_matches_decode_string_result_or_exception(self, tok, ids):
        vocab = tok.vocab
        try:
            expected = _ovilex.decode_string(ids, vocab)
        except (TypeError, ValueError, KeyError, OverflowError) as e:
            with pytest.raises(type(e)) as info:
                tok.decode(ids)
            assert str(info.value) == str(e)
        else:
            assert tok.decode(ids) == expected


class TestConcurrency:
    def test_eight_threads_encode_and_decode_alike(self, tmp_path):
        # A fresh tokenizer, so that the threads fill its shared cache together.
        tok = Tokenizer.train(REAL[2:], workdir=tmp_path)
        texts = REAL + [MULTILINGUAL * 50]
        expected = [reference_encode(tok, t) for t in texts]
        results = {}
        start = threading.Barrier(8)

        def work(k):
            start.wait()
            rng = random.Random(k)
            got = []
            for _ in range(6):
                i = rng.randrange(len(texts))
                ids = tok.encode_batch([texts[i]], threads=2)[0] if k % 2 else tok.encode(texts[i])
                got.append((i, ids, tok.decode(ids)))
            results[k] = got

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(results) == 8
        for got in results.values():
            for i, ids, text in got:
                assert ids == expected[i]
                assert text == texts[i]


def test_pickles_and_keeps_its_class(tok):
    import pickle

    class Sub(Tokenizer):
        __slots__ = ()

    copy = pickle.loads(pickle.dumps(tok))
    assert type(copy) is Tokenizer
    assert copy.merges == tok.merges and copy.vocab == tok.vocab
    assert repr(copy) == f"<Tokenizer: {len(tok.merges)} merges, {tok.vocab_size} ids>"
    sub = Sub(tok.merges, tok.vocab)
    assert isinstance(sub, Tokenizer) and sub.encode("abc") == tok.encode("abc")


def test_references_are_released(tok):
    text = MULTILINGUAL * 3
    before = sys.getrefcount(text)
    for _ in range(5):
        tok.encode(text)
        tok.encode_batch([text, text])
        with pytest.raises(TypeError):
            tok.encode_batch([text, 1])
    assert sys.getrefcount(text) == before
