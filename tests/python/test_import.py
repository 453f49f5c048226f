"""Imports from Hugging Face tokenizers and tiktoken, held by the libraries
themselves to their own ids: on real text, on every code point and with
special tokens; from files the libraries trained, from ovilex's exports, and
from merge lists and ranks out of order, where merging by rank matters."""

import array
import base64
import json
import pathlib
import pickle
import random
import sys
import sysconfig

import pytest

from ovilex import OvilexError, Tokenizer, export, write_shards
from ovilex import TokenizerFileError
from ovilex.patterns import GPT2_PATTERN_TIKTOKEN, pattern_for

tokenizers = pytest.importorskip("tokenizers")
tiktoken = pytest.importorskip("tiktoken")
tiktoken_load = pytest.importorskip("tiktoken.load")

SPECIALS = ["<|endoftext|>", "<|pad|>", "<|a|>", "<|a|><|b|>", "[x]"]
# Words that the ignore_merges file holds whole, though no merge makes them.
WHOLE_WORDS = [" Tokenizer", "importing", " 12345"]


def real_text():
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("[a-m]*.py"))[:30]
    return "".join(p.read_text(encoding="utf-8") for p in paths)


def words(seed, n):
    """n random words of a small alphabet: many distinct ones, so that the
    library's training goes past 65536 ids."""
    rng = random.Random(seed)
    return " ".join("".join(rng.choice("abcdefghijklmnopqrstuvwxyzéñ")
                            for _ in range(rng.randint(2, 9))) for _ in range(n))


def samples():
    text = real_text()
    rng = random.Random(3)
    out = [text[s:s + rng.randint(1, 3000)] for s in rng.sample(range(len(text)), 60)]
    out += [words(seed, 300) for seed in (0, 4, 5)]
    return out + [" ".join(WHOLE_WORDS), "  leading\t\t tabs  \n\n trailing   ", "it's we're",
                  "Ünïcödé Ελληνικά русский 中文字 😀👍🏽 ١٢٣ ४५६", "x" * 3000 + " " * 500, ""]


def far_texts(tok):
    """The text of a tokenizer's tokens above 65535 one after another, in
    pieces: much of it encodes to those ids."""
    vocab = tok.vocab
    far = [vocab[i].decode("utf-8", "ignore") for i in sorted(vocab) if i > 0xFFFF]
    return ["".join(far[i:i + 500]) for i in range(0, len(far), 500)]


def train_hf(text, path, prefix_space=False, ignore_merges=False, vocab_size=3000):
    """The library's own training; with a vocab_size above 65536 the
    special tokens are added after it, with ids above the learned ones."""
    tok = tokenizers.Tokenizer(tokenizers.models.BPE(ignore_merges=ignore_merges))
    tok.pre_tokenizer = tokenizers.pre_tokenizers.ByteLevel(add_prefix_space=prefix_space)
    tok.decoder = tokenizers.decoders.ByteLevel()
    far = vocab_size > 0x10000
    trainer = tokenizers.trainers.BpeTrainer(
        vocab_size=vocab_size, special_tokens=[] if far else SPECIALS, show_progress=False,
        initial_alphabet=tokenizers.pre_tokenizers.ByteLevel.alphabet())
    tok.train_from_iterator([text[i:i + 10_000] for i in range(0, len(text), 10_000)], trainer)
    if far:
        tok.add_special_tokens(SPECIALS)
    tok.save(str(path))
    return json.loads(path.read_text(encoding="utf-8"))


def hf_source(data, path):
    path.write_text(json.dumps(data, ensure_ascii=False), encoding="utf-8")
    hf = tokenizers.Tokenizer.from_file(str(path))

    def encode(texts):
        return [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)]
    # The library finds its added tokens in any text: no ordinary encode.
    return Tokenizer.from_hf(path), encode, None, lambda ids: hf.decode(
        ids, skip_special_tokens=False)


def tiktoken_source(path, pat_str, specials, ranks=None, **import_args):
    if ranks is not None:
        path.write_text("".join(f"{base64.b64encode(b).decode()} {r}\n"
                                for b, r in ranks.items()))
    enc = tiktoken.Encoding("test", pat_str=pat_str, special_tokens=specials,
                            mergeable_ranks=tiktoken_load.load_tiktoken_bpe(str(path)))
    tok = Tokenizer.from_tiktoken(path, **import_args)
    return (tok, lambda texts: enc.encode_batch(texts, allowed_special="all"),
            enc.encode_ordinary_batch, enc.decode)


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """name -> (imported tokenizer, the library's encode with its special
    tokens, its encode without them if it has one, and its decode)."""
    top = tmp_path_factory.mktemp("import")
    text = real_text()
    out = {}
    gpt2 = train_hf(text, top / "gpt2.json")
    out["hf-gpt2"] = hf_source(gpt2, top / "gpt2.json")
    out["hf-gpt2-prefix"] = hf_source(train_hf(text, top / "p.json", prefix_space=True),
                                      top / "p.json")
    whole = train_hf(text, top / "w.json", ignore_merges=True)
    vocab = whole["model"]["vocab"]
    for word in WHOLE_WORDS:
        vocab.setdefault(export.byte_level(word.encode()), max(vocab.values()) + 1)
    out["hf-ignore-merges"] = hf_source(whole, top / "w.json")
    trained = Tokenizer.train([text], workdir=top / "wd", special_tokens=SPECIALS)
    ours = export.hf_json(trained)
    big = train_hf(words(0, 300_000), top / "big.json", vocab_size=70_000)
    assert max(big["model"]["vocab"].values()) == 69_999
    out["hf-70000"] = hf_source(big, top / "big.json")
    specials = {t["content"]: t["id"] for t in big["added_tokens"]}
    assert min(specials.values()) == 70_000
    ranks = {bytes(export.BYTE_CHARS.index(c) for c in spelt): i
             for spelt, i in big["model"]["vocab"].items()}
    out["tiktoken-70000"] = tiktoken_source(
        top / "big.tiktoken", GPT2_PATTERN_TIKTOKEN, specials, ranks,
        pattern=GPT2_PATTERN_TIKTOKEN, special_tokens=specials)
    out["hf-ovilex"] = hf_source(ours, top / "ovilex.json")
    random.Random(5).shuffle(ours["model"]["merges"])
    out["hf-shuffled"] = hf_source(ours, top / "shuffled.json")
    # Its pattern and special tokens from the .json that save_tiktoken writes.
    export.save_tiktoken(trained, top / "ovilex.tiktoken")
    out["tiktoken-ovilex"] = tiktoken_source(top / "ovilex.tiktoken", pattern_for("tiktoken"),
                                             trained.special_tokens)
    specials = {t["content"]: t["id"] for t in gpt2["added_tokens"]}
    ranks = {bytes(export.BYTE_CHARS.index(c) for c in spelt): i
             for spelt, i in gpt2["model"]["vocab"].items() if i not in specials.values()}
    out["tiktoken-gpt2"] = tiktoken_source(
        top / "gpt2.tiktoken", GPT2_PATTERN_TIKTOKEN, specials, ranks,
        pattern=GPT2_PATTERN_TIKTOKEN, special_tokens=specials)
    # Bytes ranked above the rest and the rest shuffled: a token may rank
    # below its own parts.
    multi = sorted(i for i, b in trained.vocab.items() if len(b) > 1)
    shuffled = random.Random(6).sample(multi, len(multi))
    ranks = {**{bytes([b]): 9000 + b for b in range(256)},
             **{trained.vocab[i]: r for i, r in zip(multi, shuffled)}}
    specials = {t: 10000 + i for i, t in enumerate(SPECIALS)}
    out["tiktoken-shuffled"] = tiktoken_source(top / "shuffled.tiktoken", pattern_for("tiktoken"),
                                               specials, ranks, pattern="ovilex",
                                               special_tokens=specials)
    return out


NAMES = ["hf-gpt2", "hf-gpt2-prefix", "hf-ignore-merges", "hf-70000", "hf-ovilex", "hf-shuffled",
         "tiktoken-ovilex", "tiktoken-gpt2", "tiktoken-70000", "tiktoken-shuffled"]


@pytest.mark.parametrize("name", NAMES)
def test_real_text_gives_the_librarys_ids_and_text(sources, name):
    tok, with_specials, ordinary, decode = sources[name]
    texts = samples() + far_texts(tok)
    ours = tok.encode_batch(texts, allowed_special="all")
    if name.endswith("70000"):  # else ids above 65535 would go unchecked
        assert sum(i > 0xFFFF for ids in ours for i in ids) > 2000
    assert with_specials(texts) == ours
    assert [tok.encode(t, allowed_special="all") for t in texts] == ours
    ids, offsets = tok.encode_batch_array(texts, allowed_special="all")
    assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(texts))] == ours
    if ordinary is not None:
        assert ordinary(texts) == tok.encode_batch(texts)
    assert [tok.decode(i) for i in ours] == [decode(i) for i in ours]
    if name != "hf-gpt2-prefix":
        assert [tok.decode(i) for i in ours] == texts
    again = pickle.loads(pickle.dumps(tok))
    assert again.encode_batch(texts, allowed_special="all") == ours
    assert (again.pattern, again.merging, again.whole_chunks, again.prefix_space) == \
        (tok.pattern, tok.merging, tok.whole_chunks, tok.prefix_space)


CONTEXTS = ["a{}a", "1{}1", "!{}!", "\t{} "]


# tiktoken on every code point in each context; Hugging Face, slower, on
# every code point in one context each, in turn.
@pytest.mark.parametrize("name, contexts", [
    *(("tiktoken-gpt2", [c]) for c in CONTEXTS), ("hf-gpt2-prefix", CONTEXTS)],
    ids=[*(f"tiktoken-gpt2-{c!r}" for c in CONTEXTS), "hf-gpt2-prefix-in-turn"])
def test_every_code_point_in_context_gives_the_librarys_ids(sources, name, contexts):
    tok, with_specials, _, _ = sources[name]
    points = [chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF]
    texts = ["".join(contexts[k % len(contexts)].format(c)
                     for k, c in enumerate(points[i:i + 4096], i))
             for i in range(0, len(points), 4096)]
    for text, a, b in zip(texts, tok.encode_batch(texts), with_specials(texts)):
        assert a == b, f"first code point of the batch: U+{ord(text[1]):04X}"


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("text", [
    "<|endoftext|>", "<|endoftext|>at the start", "at the end <|endoftext|>",
    "adjacent<|pad|><|endoftext|><|pad|>", "<|a|><|b|> the longer where both start",
    "overlapping [x]<|endoftext|>] and <|pad<|pad|>", " <|endoftext|>  spaces\n<|pad|> ",
])
def test_special_tokens_give_the_librarys_ids_and_text(sources, name, text):
    tok, with_specials, _, decode = sources[name]
    ours = tok.encode(text, allowed_special="all")
    if not (name.startswith("tiktoken") and "<|a|><|b|>" in text):  # tiktoken takes either
        assert with_specials([text])[0] == ours
    assert tok.decode(ours) == decode(ours)
    decoder = tok.decoder()
    assert "".join(decoder.feed([i]) for i in ours) + decoder.finish() == decode(ours)
    assert tok.encode_batch([text], allowed_special="all") == [ours]


def test_the_librarys_merging_rule_is_what_gives_its_ids(sources):
    texts = samples()
    tok, with_specials, _, _ = sources["hf-shuffled"]
    in_list_order = Tokenizer(tok.merges, tok.vocab, tok.special_tokens)
    assert in_list_order.encode_batch(texts, allowed_special="all") != with_specials(texts) == \
        tok.encode_batch(texts, allowed_special="all")
    tok, with_specials, _, _ = sources["hf-ignore-merges"]
    words = [tok.encode(w) for w in WHOLE_WORDS]
    assert all(len(ids) == 1 for ids in words) and with_specials(WHOLE_WORDS) == words
    merged = Tokenizer(tok.merges, tok.vocab, tok.special_tokens, pattern="gpt2",
                       merging="merge_rank")
    assert all(len(merged.encode(w)) > 1 for w in WHOLE_WORDS)


@pytest.mark.parametrize("name, hf_same, tiktoken_same", [
    ("hf-gpt2", True, True), ("hf-gpt2-prefix", True, None), ("hf-shuffled", True, False),
    ("hf-70000", True, True), ("tiktoken-70000", True, True),
    ("tiktoken-ovilex", True, True), ("tiktoken-gpt2", True, True),
    ("tiktoken-shuffled", False, True),
])
def test_imports_export_back(sources, name, hf_same, tiktoken_same):
    tok = sources[name][0]
    texts = samples()
    ours = tok.encode_batch(texts)
    hf = tokenizers.Tokenizer.from_str(json.dumps(export.hf_json(tok)))
    assert ([e.ids for e in hf.encode_batch(texts, add_special_tokens=False)] ==
            tok.encode_batch(texts, allowed_special="all")) is hf_same
    if tiktoken_same is None:
        with pytest.raises(OvilexError, match="^tiktoken cannot put a space before the text"):
            export.to_tiktoken(tok)
    elif tiktoken_same:
        assert export.to_tiktoken(tok).encode_ordinary_batch(texts) == ours
    else:
        with pytest.raises(OvilexError, match="tiktoken would give other ids$"):
            export.to_tiktoken(tok)


def minimal_hf():
    vocab = {c: b for b, c in enumerate(export.BYTE_CHARS)} | {"ab": 256}
    return {"version": "1.0", "truncation": None, "padding": None, "added_tokens": [],
            "normalizer": None, "post_processor": None,
            "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": False,
                              "trim_offsets": True, "use_regex": True},
            "decoder": {"type": "ByteLevel"},
            "model": {"type": "BPE", "dropout": None, "unk_token": None, "vocab": vocab,
                      "merges": [["a", "b"]]}}


def split_then(regex, use_regex=False):
    return {"type": "Sequence", "pretokenizers": [
        {"type": "Split", "pattern": {"Regex": regex}, "behavior": "Isolated", "invert": False},
        {"type": "ByteLevel", "add_prefix_space": False, "use_regex": use_regex}]}


@pytest.mark.parametrize("change, message", [
    (lambda d: d.update(normalizer={"type": "Lowercase"}),
     "the normalizer Lowercase changes text before it is split; ovilex normalizes only by NFC"),
    (lambda d: d["model"].update(type="WordPiece"), "the model is WordPiece, not BPE"),
    (lambda d: d.update(pre_tokenizer=split_then(r"\w+")),
     r"split pattern '\\w+': \w's word characters differ between PCRE2 and the libraries"),
    (lambda d: d.update(pre_tokenizer={"type": "Whitespace"}),
     "the pre-tokenizer Whitespace is not supported: expected ByteLevel, or a Sequence of "
     "Split, Digits and ByteLevel that ends with ByteLevel"),
    (lambda d: d["model"]["vocab"].update(ab=2**32 - 1),
     "token 'ab' has the id 4294967295: ovilex's ids are 0 to 4294967294"),
    (lambda d: d["added_tokens"].append({"id": 9, "content": "<s>"}) or
     d["model"]["vocab"].update({"<s>": 2**32 - 1}),
     "added token '<s>' has the id 4294967295: ovilex's ids are 0 to 4294967294"),
    (lambda d: d["model"]["vocab"].pop(export.BYTE_CHARS[0xE9]),
     "no token stands for the byte 0xE9: byte-level BPE needs all 256"),
    (lambda d: d["model"]["vocab"].update({"一": 257}),
     "token '一' (id 257) is not spelt in byte-level characters"),
    (lambda d: d["added_tokens"].append({"id": 300, "content": "<s>", "lstrip": True}),
     "added token '<s>' has lstrip set, which ovilex's special tokens do not have"),
    (lambda d: d["model"].update(merges=[["a", "c"]]),
     "merge 0 ('a', 'c'): 'ac' is not a token of the vocabulary"),
    (lambda d: d["model"].update(merges=["a b c"]),
     "merge 0 is 'a b c', expected [\"a\", \"b\"] or \"a b\""),
    (lambda d: d.update(truncation={"max_length": 5}),
     "truncation is set; ovilex encodes whole texts"),
    (lambda d: d["model"].update(dropout=0.1), "the model has dropout, which makes its ids random"),
    (lambda d: d.update(decoder={"type": "WordPiece"}), "the decoder WordPiece is not byte-level"),
])
def test_hf_files_ovilex_cannot_reproduce_are_refused(tmp_path, change, message):
    data = minimal_hf()
    change(data)
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(data), encoding="utf-8")
    with pytest.raises(TokenizerFileError) as e:
        Tokenizer.from_hf(path)
    assert str(e.value) == f"{path}: {message}"


@pytest.mark.parametrize("merges", [[["a", "b"]], ["a b"]])
def test_hf_merges_as_pairs_or_strings(tmp_path, merges):
    data = minimal_hf()
    data["model"]["merges"] = merges
    (tmp_path / "t.json").write_text(json.dumps(data), encoding="utf-8")
    tok = Tokenizer.from_hf(tmp_path / "t.json")
    assert (tok.encode("abc"), tok.merges, tok.pattern) == ([256, 99], [((97, 98), 256)], "gpt2")


RANKS = "".join(f"{base64.b64encode(bytes([b])).decode()} {b}\n" for b in range(256))


@pytest.mark.parametrize("lines, pattern, specials, error, message", [
    (RANKS + "YWI= 4294967295\n", "gpt2", None, TokenizerFileError,
     "{path}: line 257: b'ab' has the id 4294967295: ovilex's ids are 0 to 4294967294"),
    (RANKS, "gpt2", {"<s>": 2**32 - 1}, TokenizerFileError,
     "{path}: special token '<s>' has the id 4294967295: ovilex's ids are 0 to 4294967294"),
    (RANKS + "not base64! 3\n", "gpt2", None, TokenizerFileError,
     "{path}: line 257: expected 'BASE64 RANK', found 'not base64! 3'"),
    (RANKS + "YWI= 5\n", "gpt2", None, TokenizerFileError,
     "{path}: line 257: rank 5 is given twice"),
    (RANKS.split("\n", 1)[1], "gpt2", None, TokenizerFileError,
     "{path}: no token stands for the byte 0x00: byte-level BPE needs all 256"),
    (RANKS, r"\w+", None, ValueError,
     r"split pattern '\\w+': \w's word characters differ between PCRE2 and the libraries"),
    (RANKS, None, None, TokenizerFileError,
     "{path}: no pattern given and no pat_str in a .json beside it"),
    (RANKS, "gpt2", {"<s>": 5}, TokenizerFileError,
     "{path}: special token '<s>' has the id 5, a rank of the file"),
])
def test_rank_files_ovilex_cannot_use_are_refused(tmp_path, lines, pattern, specials, error,
                                                  message):
    path = tmp_path / "r.tiktoken"
    path.write_text(lines)
    with pytest.raises(error) as e:
        Tokenizer.from_tiktoken(path, pattern=pattern, special_tokens=specials)
    assert str(e.value) == message.format(path=path)


BYTES = {b: bytes([b]) for b in range(256)}


@pytest.mark.parametrize("vocab, kwargs, message", [
    (BYTES, {"merging": "sequential"},
     "merging must be 'list', 'merge_rank' or 'token_rank', not 'sequential'"),
    (BYTES, {"whole_chunks": True}, "whole_chunks needs merging by rank"),
    (BYTES, {"pattern": "p50k"},
     "unknown split pattern 'p50k': the supported ones are 'ovilex', 'gpt2', "
     "'cl100k', 'llama3', 'qwen2' and 'o200k'"),
    ({b + 1: bytes([b]) for b in range(1, 256)}, {"merging": "token_rank"},
     "the vocabulary cannot be merged by rank: no id stands for the byte 0x00"),
    ({**BYTES, 300: b"a"}, {"merging": "merge_rank"},
     "the vocabulary cannot be merged by rank: ids 97 and 300 both stand for the same bytes"),
])
def test_rules_the_constructor_refuses(vocab, kwargs, message):
    with pytest.raises(ValueError) as e:
        Tokenizer([], vocab, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("name", ["hf-gpt2", "hf-gpt2-prefix", "tiktoken-70000", "hf-ovilex"])
def test_shards_and_file_counts_are_the_librarys_ids_of_each_whole_file(sources, name, tmp_path):
    """Files read in pieces by an imported tokenizer, GPT-2's pattern with
    and without the prefix space: the library's ids of each whole file."""
    tok, encode, ordinary, _ = sources[name]
    texts = {"real": real_text()[:150_000].replace("[x]", "[y]"), "empty": "", "one": "x",
             "lead": " a leading space", "start": "\n\n" + "x" * 100 + " it's\r\n  ",
             "mixed": samples()[-3]}
    assert not any(s in t for s in SPECIALS for t in texts.values())
    paths = []
    for stem, text in texts.items():
        paths.append(tmp_path / f"{stem}.txt")
        paths[-1].write_text(text, encoding="utf-8")
    expected = (ordinary or encode)(list(texts.values()))
    shards = write_shards(paths, tmp_path / "out", tokenizer=tok)
    typecode = "H" if max(tok.vocab) < 0x10000 else "I"
    for shard, ids in zip(shards, expected):
        assert shard.bin.read_bytes() == array.array(typecode, ids).tobytes(), shard.source
    assert tok.count_in_files(paths) == [len(ids) for ids in expected]
