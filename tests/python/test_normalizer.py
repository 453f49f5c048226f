"""The NFC normalizer: against the interpreter's unicodedata, at piece cuts,
and on a tokenizer against Hugging Face tokenizers' NFC normalizer."""

import json
import pathlib
import pickle
import random
import sys
import sysconfig
import unicodedata

import pytest

from ovilex import (OvilexError, Tokenizer, TokenizerFileError, _native, export, pieces,
                    write_shards)
from ovilex.patterns import QWEN2_PATTERN

tokenizers = pytest.importorskip("tokenizers")


def nfc(text):
    return unicodedata.normalize("NFC", text)


POINTS = [c for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF]
MARKS = [c for c in POINTS if unicodedata.combining(chr(c))]
DECOMPOSABLE = [c for c in POINTS
                if unicodedata.decomposition(chr(c))[:1] not in ("", "<")]
HANGUL = [*range(0x1100, 0x1113), *range(0x1161, 0x1176), *range(0x11A7, 0x11C3), 0xAC00,
          0xAC01, 0xD7A3]
# Singletons, decompositions that begin with a non-starter, and starters that
# compose with what precedes them.
ODD = [0x212B, 0x2126, 0x212A, 0x037E, 0x0344, 0x0F73, 0x0F75, 0x0F81, 0x0BD7, 0x0B92,
       0x09BE, 0x09C7, 0x16D67, 0x16D68, 0x16D63, 0x0340, 0x2000]


def real_text():
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("[n-z]*.py"))[:20]
    return "".join(p.read_text(encoding="utf-8") for p in paths)


NON_LATIN = ("Ünïcödé Ελληνικά ἄλφα русский йод Tiếng Việt 한국어 조선글 中文字 日本語の"
             "テキスト हिन्दी தமிழ் ভাষা עִבְרִית العَرَبِيَّة 😀👍🏽 ١٢٣ ४५६ ")


def marked(seed, n, pools=(MARKS, HANGUL, ODD, DECOMPOSABLE, range(0x41, 0x7B), [0x20, 0x0A])):
    """n short texts rich in marks, Hangul jamo and syllables, singletons and
    precomposed letters."""
    rng = random.Random(seed)
    return ["".join(chr(rng.choice(rng.choice(pools))) for _ in range(rng.randint(1, 14)))
            for _ in range(n)]


def texts_for_nfc():
    return {
        "every code point": "".join(map(chr, POINTS)),
        "each code point after a letter, before marks": "".join(
            "a" + chr(c) + "\u0301\u0316\u0328" for c in POINTS),
        "random marks, Hangul and singletons": "\x00".join(marked(1, 20_000)),
        "real text, decomposed": unicodedata.normalize("NFD", real_text() + NON_LATIN * 50),
    }


@pytest.mark.parametrize("name", list(texts_for_nfc()))
def test_nfc_is_unicodedatas(name):
    text = texts_for_nfc()[name]
    ours = _native.normalize(text)
    if ours != nfc(text):
        at = next(i for i, (a, b) in enumerate(zip(ours, nfc(text))) if a != b)
        pytest.fail(f"first difference at {at}: {text[max(0, at - 3):at + 3]!r}")


def test_each_short_text_on_its_own_is_unicodedatas():
    # Marks at the start of a text, with nothing to compose with.
    texts = marked(2, 5000)
    assert [_native.normalize(t) for t in texts] == [nfc(t) for t in texts]


@pytest.mark.parametrize("text", [real_text(), NON_LATIN * 20, "", "abc\u0301"])
def test_text_in_nfc_comes_back_as_itself(text):
    text = nfc(text)
    assert _native.normalize(text) is text
    assert _native.normalize(text, None) is text
    assert _native.NFC_UNICODE_VERSION == unicodedata.unidata_version


def splits_apart(text, cut):
    return _native.split(nfc(text[:cut])) + _native.split(nfc(text[cut:]))


@pytest.mark.parametrize("window", [1, 7, 1 << 16])
def test_pieces_normalize_and_split_apart_as_the_whole(tmp_path, monkeypatch, window):
    monkeypatch.setattr(pieces, "WINDOW", window)
    rng = random.Random(window)
    words = ["word", " ", "\n", "é", "e\u0301", "\u0301", "b", "\u1100\u1161", "\u11a8", "Å",
             "\u212b", "1", "!", "'s", "\u0f73", "\u0bd7", "\u0b92", "\U00016d67", "  "]
    tok = Tokenizer([], {i: bytes([i]) for i in range(256)}, normalizer="nfc")
    cuts = 0
    for trial in range(40):
        text = "".join(rng.choice(words) for _ in range(rng.randint(2, 300)))
        data = text.encode()
        (tmp_path / "t.txt").write_bytes(data)
        got = [r for p in pieces.pieces(str(tmp_path / "t.txt"), len(data), 8, tok=tok)
               if (r := pieces.read_piece(p)) is not None]
        assert b"".join(b for _, b in got) == data
        assert [c for _, b in got for c in _native.split(nfc(b.decode()))] == \
            _native.split(nfc(text))
        cuts += len(got) - 1
    assert cuts > 300
    # A cut where the text splits apart, but the mark before it joins the
    # letter before it once normalized, and the letters split as one.
    data = "e\u0301b".encode()
    assert _native.last_safe_cut(data) == 3
    assert _native.last_safe_cut(data, 0, normalizer="nfc") == 0
    assert splits_apart("e\u0301b", 2) != _native.split(nfc("e\u0301b"))


# ----------------------------------------------------------------------
# A tokenizer that normalizes, against Hugging Face tokenizers

SPECIALS = ["<|endoftext|>", "<|im_start|>"]


def qwen2_shaped(path):
    """A BPE trained by the library with Qwen 2's normalizer, pre-tokenizer
    and decoder."""
    tok = tokenizers.Tokenizer(tokenizers.models.BPE())
    tok.normalizer = tokenizers.normalizers.NFC()
    tok.pre_tokenizer = tokenizers.pre_tokenizers.Sequence([
        tokenizers.pre_tokenizers.Split(tokenizers.Regex(QWEN2_PATTERN), "isolated"),
        tokenizers.pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
    tok.decoder = tokenizers.decoders.ByteLevel()
    trainer = tokenizers.trainers.BpeTrainer(
        vocab_size=3000, special_tokens=SPECIALS, show_progress=False,
        initial_alphabet=tokenizers.pre_tokenizers.ByteLevel.alphabet())
    text = real_text() + NON_LATIN * 200
    tok.train_from_iterator([text[i:i + 10_000] for i in range(0, len(text), 10_000)], trainer)
    tok.save(str(path))
    return tok


@pytest.fixture(scope="module")
def qwen2(tmp_path_factory):
    path = tmp_path_factory.mktemp("nfc") / "tokenizer.json"
    hf = qwen2_shaped(path)
    assert json.loads(path.read_text())["normalizer"] == {"type": "NFC"}
    return Tokenizer.from_hf(path), hf


def not_nfc_texts():
    """Texts that NFC changes, without the code points where the library's
    NFC (Unicode 9.0) and the interpreter's part (docs/interop.md)."""
    hf_nfc = tokenizers.normalizers.NFC()
    rng = random.Random(4)
    text = real_text()
    pieces = [text[s:s + rng.randint(1, 2000)] for s in rng.sample(range(len(text)), 30)]
    pieces += [NON_LATIN * 3, "x" * 300 + " "]
    texts = [unicodedata.normalize("NFD", p) for p in pieces]
    short = marked(5, 6000)
    kept = [t for t in short if hf_nfc.normalize_str(t) == nfc(t)]
    assert len(kept) > 0.8 * len(short)
    # A line feed between two is a boundary to both.
    texts += ["\n".join(chunk) for chunk in zip(*[iter(kept)] * 20)]
    assert sum(nfc(t) != t for t in texts) > 250
    return texts


def test_ids_are_the_librarys_on_text_not_in_nfc(qwen2):
    tok, hf = qwen2
    assert (tok.normalizer, tok.pattern) == ("nfc", "qwen2")
    texts = not_nfc_texts()
    want = [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)]
    assert tok.encode_batch(texts) == want
    assert [tok.encode(t) for t in texts] == want
    ids, offsets = tok.encode_batch_array(texts)
    assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(texts))] == want
    assert [tok.encode_array(t).tolist() for t in texts[:20]] == want[:20]
    assert tok.count_batch(texts) == [len(w) for w in want]
    assert [tok.count(t) for t in texts[:50]] == [len(w) for w in want[:50]]
    # Decoding gives the text normalized.
    assert [tok.decode(w) for w in want] == [nfc(t) for t in texts]
    again = pickle.loads(pickle.dumps(tok))
    assert again.normalizer == "nfc" and again.encode_batch(texts) == want


@pytest.mark.parametrize("text", [
    "<|endoftext|>\u0301e\u0301", "e<|endoftext|>\u0301", "A\u030a<|im_start|>\u212b",
    "\u1100<|endoftext|>\u1161 \u1100\u1161\u11a8", "<|im_start|>",
])
def test_special_tokens_are_found_in_the_text_as_given(qwen2, text):
    # The library finds its (not normalized) added tokens first, then
    # normalizes each stretch between them on its own.
    tok, hf = qwen2
    assert tok.encode(text, allowed_special="all") == hf.encode(text, add_special_tokens=False).ids


def test_export_writes_the_normalizer_back(qwen2, tmp_path):
    tok, hf = qwen2
    texts = not_nfc_texts()[:200]
    data = export.hf_json(tok)
    assert data["normalizer"] == {"type": "NFC"}
    back = tokenizers.Tokenizer.from_str(json.dumps(data))
    assert [e.ids for e in back.encode_batch(texts, add_special_tokens=False)] == \
        tok.encode_batch(texts)
    tok.save_hf(tmp_path / "t.json")
    assert Tokenizer.from_hf(tmp_path / "t.json").normalizer == "nfc"
    with pytest.raises(OvilexError) as e:
        tok.to_tiktoken()
    assert str(e.value) == ("tiktoken has no normalizer; this tokenizer normalizes text by NFC "
                            "before splitting it")


def test_files_are_normalized_piece_by_piece(tmp_path):
    vocab = {b: bytes([b]) for b in range(256)}
    tok = Tokenizer([], vocab, normalizer="nfc")
    text = "\n".join(marked(8, 3000)) + " e\u0301b" * 100
    (tmp_path / "a.txt").write_text(text, encoding="utf-8")
    want = tok.encode(text)
    assert want == list(nfc(text).encode())
    assert tok.count_in_files([tmp_path / "a.txt"]) == [len(want)]
    write_shards([tmp_path / "a.txt"], tmp_path / "out", tokenizer=tok)
    assert (tmp_path / "out" / "a.bin").read_bytes() == tok.encode_array(text).tobytes()


def minimal_hf(normalizer, added=()):
    vocab = {c: b for b, c in enumerate(export.BYTE_CHARS)}
    return {"version": "1.0", "truncation": None, "padding": None, "added_tokens": list(added),
            "normalizer": normalizer, "post_processor": None,
            "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": False,
                              "trim_offsets": True, "use_regex": True},
            "decoder": {"type": "ByteLevel"},
            "model": {"type": "BPE", "dropout": None, "unk_token": None, "vocab": vocab,
                      "merges": []}}


def added(content, normalized):
    return {"id": 256, "content": content, "single_word": False, "lstrip": False,
            "rstrip": False, "normalized": normalized, "special": True}


@pytest.mark.parametrize("data, result", [
    (minimal_hf({"type": "NFC"}), "nfc"),
    (minimal_hf({"type": "Sequence", "normalizers": [{"type": "NFC"}]}), "nfc"),
    (minimal_hf({"type": "Sequence", "normalizers": []}), None),
    (minimal_hf(None, [added("<s>", True)]), None),
    (minimal_hf({"type": "NFC"}, [added("<s>", False)]), "nfc"),
    (minimal_hf({"type": "NFKC"}),
     "the normalizer NFKC changes text before it is split; ovilex normalizes only by NFC"),
    (minimal_hf({"type": "Sequence", "normalizers": [{"type": "NFC"}, {"type": "Lowercase"}]}),
     "the normalizer Lowercase changes text before it is split; ovilex normalizes only by NFC"),
    (minimal_hf({"type": "NFC"}, [added("<s>", True)]),
     "added token '<s>' is found in normalized text; ovilex finds special tokens in the text "
     "as given"),
])
def test_hf_normalizers(tmp_path, data, result):
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(data), encoding="utf-8")
    if result is None or result == "nfc":
        assert Tokenizer.from_hf(path).normalizer == result
    else:
        with pytest.raises(TokenizerFileError) as e:
            Tokenizer.from_hf(path)
        assert str(e.value) == f"{path}: {result}"


def test_the_constructor_takes_only_known_normalizers():
    vocab = {b: bytes([b]) for b in range(256)}
    assert Tokenizer([], vocab).normalizer is None
    for bad in ("NFC", "nfd"):
        with pytest.raises(ValueError) as e:
            Tokenizer([], vocab, normalizer=bad)
        assert str(e.value) == f"normalizer must be None or 'nfc', not '{bad}'"
    with pytest.raises(ValueError, match="^normalizer must be None or 'nfc', not 'nfkc'$"):
        _native.normalize("x", "nfkc")
