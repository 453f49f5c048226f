"""Exports to Hugging Face tokenizers and tiktoken, held to the same ids and
the same text as ovilex by the real libraries."""

import array
import base64
import json
import pathlib
import random
import subprocess
import sys
import sysconfig

import pytest

from ovilex import OvilexError, Tokenizer, export

tokenizers = pytest.importorskip("tokenizers")
tiktoken = pytest.importorskip("tiktoken")
tiktoken_load = pytest.importorskip("tiktoken.load")

SPECIALS = ["<|endoftext|>", "<|pad|>", "<|a|>", "<|a|><|b|>", "[x]"]
# A code point between letters, digits, symbols and whitespace.
CONTEXTS = ["a{}a", "1{}1", "!{}!", "\t{} "]


def real_text():
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("*.py"))[:40]
    return "".join(p.read_text(encoding="utf-8") for p in paths)


def mixed_text(seed, n):
    """Words of many scripts, digits, symbols and spaces of every kind."""
    rng = random.Random(seed)
    blocks = [(0x20, 0x7E), (0xA0, 0x24F), (0x370, 0x3FF), (0x400, 0x4FF), (0x590, 0x6FF),
              (0x900, 0x97F), (0x3040, 0x30FF), (0x4E00, 0x4E80), (0xAC00, 0xAC40),
              (0x1F300, 0x1F64F), (0x2000, 0x206F)]
    words = []
    for _ in range(n):
        lo, hi = rng.choice(blocks)
        words.append("".join(chr(rng.randint(lo, hi)) for _ in range(rng.randint(1, 6))))
        words.append(rng.choice([" ", " ", "  ", "\n", "\t", "\u3000", ""]))
    return "".join(words)


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    top = tmp_path_factory.mktemp("export")
    tok = Tokenizer.train([real_text(), mixed_text(0, 40_000)], workdir=top / "wd",
                          special_tokens=SPECIALS)
    tok.save_hf(top / "tokenizer.json")
    tok.save_tiktoken(top / "ovilex.tiktoken")
    return tok, top


# Every pair of two bytes a token: 65536 merges make ids 256 to 65791. The
# pairs of 16 common letters come last, so that text holds many ids above
# 65535; the special tokens lie above those, one at the greatest id.
COMMON = b"etaoinshrdlucmfw"
FAR_SPECIALS = {"<|endoftext|>": 65792, "<|pad|>": 65793, "<|a|>": 70000,
                "<|a|><|b|>": 2**32 - 2, "[x]": 100000}


@pytest.fixture(scope="module")
def pairs(tmp_path_factory):
    top = tmp_path_factory.mktemp("pairs")
    byte_pairs = [(a, b) for a in range(256) for b in range(256)]
    random.Random(7).shuffle(byte_pairs)
    byte_pairs.sort(key=lambda p: p[0] in COMMON and p[1] in COMMON)
    merges = [(pair, 256 + i) for i, pair in enumerate(byte_pairs)]
    vocab = {i: bytes([i]) for i in range(256)} | {new: bytes(pair) for pair, new in merges}
    tok = Tokenizer(merges, vocab, FAR_SPECIALS)
    tok.save_hf(top / "tokenizer.json")
    tok.save_tiktoken(top / "ovilex.tiktoken")
    return tok, top


@pytest.fixture(scope="module")
def hf(trained):
    return tokenizers.Tokenizer.from_file(str(trained[1] / "tokenizer.json"))


@pytest.fixture(scope="module")
def tk(trained):
    return trained[0].to_tiktoken(name="test")


@pytest.fixture(scope="module", params=["trained", "pairs"])
def exported(request):
    """A tokenizer and the libraries' encodings of its exports: tiktoken's
    from the rank file and PATH.json, as save_tiktoken describes it."""
    tok, top = request.getfixturevalue(request.param)
    rest = json.loads((top / "ovilex.tiktoken.json").read_text(encoding="utf-8"))
    tk = tiktoken.Encoding(
        mergeable_ranks=tiktoken_load.load_tiktoken_bpe(str(top / "ovilex.tiktoken")), **rest)
    return tok, top, tokenizers.Tokenizer.from_file(str(top / "tokenizer.json")), tk


def samples():
    text = real_text()
    rng = random.Random(1)
    starts = [rng.randrange(len(text)) for _ in range(150)]
    out = [text[s:s + rng.randint(1, 4000)] for s in starts]
    out += [mixed_text(seed, 300) for seed in range(2, 50)]
    return out


def test_real_and_mixed_text_gives_identical_ids_and_text(exported):
    tok, _, hf, tk = exported
    texts = samples()
    ours = tok.encode_batch(texts)
    if tok.vocab_size > 0x10000:  # else ids above 65535 would go unchecked
        assert sum(i > 0xFFFF for ids in ours for i in ids) > 10_000
    assert [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)] == ours
    assert tk.encode_ordinary_batch(texts) == ours
    assert hf.decode_batch(ours, skip_special_tokens=False) == texts
    assert [tk.decode(ids) for ids in ours] == texts
    # Every byte spelt as its own printable character in the vocabulary.
    assert len(set(export.BYTE_CHARS)) == 256
    assert all(c.isprintable() and not c.isspace() for c in export.BYTE_CHARS)


@pytest.mark.parametrize("context", CONTEXTS)
def test_every_code_point_in_context_gives_identical_ids(trained, hf, tk, context):
    tok, _ = trained
    points = [chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF]
    texts = ["".join(context.format(c) for c in points[i:i + 4096])
             for i in range(0, len(points), 4096)]
    ours = tok.encode_batch(texts)
    theirs = [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)]
    for text, a, b in zip(texts, ours, theirs):
        assert a == b, f"first code point of the batch: U+{ord(text[len(context) - 3]):04X}"
    assert tk.encode_ordinary_batch(texts) == ours


@pytest.mark.parametrize("text", [
    "<|endoftext|>",
    "<|endoftext|>at the start",
    "at the end<|endoftext|>",
    "adjacent<|pad|><|endoftext|><|pad|>",
    "<|a|><|b|> the longer one where both start",
    "<|a|><|a|><|b|><|b|>",
    "overlapping [x]<|endoftext|>] and <|pad<|pad|>",
    " <|endoftext|> spaces <|endoftext|>\n",
    "<|endoftext|" + "|> broken",
])
def test_special_tokens_give_identical_ids_and_text(exported, text):
    tok, _, hf, tk = exported
    ours = tok.encode(text, allowed_special="all")
    assert hf.encode(text, add_special_tokens=False).ids == ours
    assert hf.decode(ours, skip_special_tokens=False) == text
    assert tk.decode(ours) == text
    assert tk.encode_ordinary(text) == tok.encode(text)
    if "<|a|><|b|>" not in text:  # tiktoken may take either of two that start alike
        assert tk.encode(text, allowed_special="all") == ours
    decoder = tok.decoder()
    assert "".join(decoder.feed(array.array("I", [i])) for i in ours) + decoder.finish() == text


def test_exports_import_back_with_the_same_ids(exported):
    tok, top, _, _ = exported
    texts = samples() + ["<|a|><|b|> and <|a|> <|endoftext|>[x]"]
    ours = tok.encode_batch(texts, allowed_special="all")
    for back in (Tokenizer.from_hf(top / "tokenizer.json"),
                 Tokenizer.from_tiktoken(top / "ovilex.tiktoken")):
        assert back.encode_batch(texts, allowed_special="all") == ours
        assert (back.vocab, back.special_tokens) == (tok.vocab, tok.special_tokens)


def test_rank_file_loads_into_the_same_encoding(trained, tk):
    tok, top = trained
    path = top / "ovilex.tiktoken"
    lines = path.read_text().splitlines()
    assert [int(line.split()[1]) for line in lines] == sorted(tok.vocab)
    assert all(base64.b64decode(line.split()[0]) == tok.vocab[int(line.split()[1])]
               for line in lines)
    ranks = tiktoken_load.load_tiktoken_bpe(str(path))
    args = json.loads((top / "ovilex.tiktoken.json").read_text(encoding="utf-8"))
    loaded = tiktoken.Encoding(mergeable_ranks=ranks, **args)
    text = samples()[0] + "<|endoftext|>"
    assert loaded.encode(text, allowed_special="all") == tk.encode(text, allowed_special="all")


@pytest.mark.parametrize("merges, vocab, message", [
    # Two ids for the same bytes.
    ([((97, 98), 256), ((256, 99), 257), ((98, 99), 258), ((97, 258), 259)],
     {256: b"ab", 257: b"abc", 258: b"bc", 259: b"abc"},
     "ids 257 and 259 both stand for b'abc': a vocabulary keyed by bytes cannot hold both"),
    # "abc" from a and bc, where its own bytes make ab first.
    ([((97, 98), 256), ((98, 99), 257), ((97, 257), 258)],
     {256: b"ab", 257: b"bc", 258: b"abc"},
     "token 258 (b'abc') is not what its own bytes make both by rank and by the merge list; "
     "tiktoken would give other ids"),
])
def test_vocabularies_the_libraries_cannot_hold_are_refused(merges, vocab, message):
    tok = Tokenizer(merges, {**{i: bytes([i]) for i in range(256)}, **vocab})
    with pytest.raises(OvilexError) as e:
        export.to_tiktoken(tok)
    assert str(e.value) == message


def test_cli_writes_what_the_api_writes(trained, package_env, tmp_path):
    tok, top = trained

    def ovilex(*args):
        return subprocess.run([sys.executable, "-m", "ovilex", "export", *map(str, args)],
                              cwd=tmp_path, capture_output=True, env=package_env, timeout=120)

    for fmt, name in [("hf", "tokenizer.json"), ("tiktoken", "ovilex.tiktoken")]:
        done = ovilex("--workdir", top / "wd", "--format", fmt, "--out", name)
        assert done.returncode == 0, done.stderr.decode()
        assert (tmp_path / name).read_bytes() == (top / name).read_bytes()
    assert (tmp_path / "ovilex.tiktoken.json").read_bytes() == \
        (top / "ovilex.tiktoken.json").read_bytes()
    done = ovilex("--workdir", top / "wd", "--format", "hf", "--out", "no/such/dir/t.json")
    assert (done.returncode, done.stderr.decode()) == \
        (1, "ovilex: error: cannot write no/such/dir/t.json: No such file or directory\n")
