"""Special tokens: encoding against re.split on the allowed texts (longest
first), decoding, the constructor and training, their record file, shards
and the command line."""

import pickle
import random
import re
import subprocess
import sys
from array import array

import pytest

from ovilex import RecordError, Tokenizer, WordCounts, _native, write_shards

SPECIALS = ["<|endoftext|>", "<|a|>", "<|a|><|b|>", "<|b|>", "日本😀"]
PIECES = SPECIALS + ["<|", "|>", "<", "a", "b|", " ", "\n", "end", "of", "text", "日本", "😀",
                     "é"]
CORPUS = "the end of text <|a|> is not the end <|b|> of it 日本 é\n" * 200


@pytest.fixture(scope="module")
def tok(tmp_path_factory):
    return Tokenizer.train([CORPUS], workdir=tmp_path_factory.mktemp("w"), special_tokens=SPECIALS)


def oracle(tok, text, allowed):
    """re.split on the allowed texts, the longest first: every other piece
    a special token, the rest encoded as text."""
    if not allowed:
        return tok.encode(text)
    pattern = "|".join(map(re.escape, sorted(allowed, key=len, reverse=True)))
    ids = []
    for i, piece in enumerate(re.split(f"({pattern})", text)):
        ids += [tok.special_tokens[piece]] if i % 2 else tok.encode(piece)
    return ids


@pytest.mark.parametrize("allowed", ["all", {"<|a|>"}, frozenset({"<|a|>", "<|a|><|b|>"}),
                                     ["<|a|><|b|>", "<|b|>", "日本😀"], set(), None])
def test_encoding_matches_the_oracle(tok, allowed):
    names = set(SPECIALS) if allowed == "all" else set(allowed or ())
    rng = random.Random(len(names))
    texts = ["".join(rng.choices(PIECES, k=rng.randrange(12))) for _ in range(400)]
    texts += ["<|a|><|b|>", "<|a|><|b|", "x<|endoftext|>", "<|b|><|b|>", ""]
    expected = [oracle(tok, t, names) for t in texts]
    assert [tok.encode(t, allowed_special=allowed) for t in texts] == expected
    assert [tok.encode_array(t, allowed_special=allowed).tolist() for t in texts] == expected
    assert tok.encode_batch(texts, threads=2, allowed_special=allowed) == expected
    ids, offsets = tok.encode_batch_array(texts, allowed_special=allowed)
    assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(texts))] == expected
    assert [tok.decode(e) for e in expected] == texts


def test_by_default_special_text_is_text(tok):
    plain = Tokenizer(tok.merges, tok.vocab)
    text = "<|endoftext|>" * 3 + "<|a|><|b|> 日本😀" * 2
    assert tok.encode(text) == plain.encode(text) == tok.encode(text, allowed_special=[])
    assert max(tok.encode(text)) < min(tok.special_tokens.values())
    # Long enough to be encoded with the interpreter lock released.
    long = text * 2000
    assert tok.encode(long, allowed_special="all") == oracle(tok, long, set(SPECIALS))


def test_special_ids_follow_the_learned_ones_and_decode(tok):
    first = max(tok.vocab) + 1
    assert tok.special_tokens == {t: first + i for i, t in enumerate(SPECIALS)}
    assert tok.id_to_bytes(first + 4) == "日本😀".encode()
    assert tok.decode_bytes([first, 97, first + 2]) == b"<|endoftext|>a<|a|><|b|>"
    with pytest.raises(KeyError, match=f"unknown token id {first + 5}"):
        tok.decode([first, first + 5])
    clone = pickle.loads(pickle.dumps(tok))
    assert (clone.special_tokens, clone.merges) == (tok.special_tokens, tok.merges)


def test_ids_agree_with_tiktoken_given_the_same_tokens(tok):
    tiktoken = pytest.importorskip("tiktoken")
    # Our split pattern in tiktoken's dialect: the same chunks on ASCII text.
    pattern = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
    # tiktoken takes the first of its tokens that matches, not the longest:
    # none here is the start of another.
    specials = {t: tok.special_tokens[t] for t in ("<|endoftext|>", "<|b|>")}
    enc = tiktoken.Encoding(name="special", pat_str=pattern, special_tokens=specials,
                            mergeable_ranks={v: i for i, v in tok.vocab.items()})
    rng = random.Random(2)
    pieces = ["<|endoftext|>", "<|b|>", "<|", "|>", "<|b", "the end", " of", " text", "\n", "a b"]
    for text in ("".join(rng.choices(pieces, k=8)) for _ in range(300)):
        assert tok.encode(text, allowed_special=set(specials)) == enc.encode(
            text, allowed_special="all")
        assert tok.encode(text) == enc.encode_ordinary(text)


@pytest.mark.parametrize("allowed, error, message", [
    ({"<|c|>"}, ValueError, "encode() argument 'allowed_special': '<|c|>' is not a special "
                            "token of this tokenizer"),
    ("<|a|>", ValueError, "encode() argument 'allowed_special' must be 'all' or a collection of "
                          "special token texts, not the str '<|a|>'"),
    (3, TypeError, "encode() argument 'allowed_special' must be 'all' or a collection of "
                   "special token texts, not int"),
    ([b"<|a|>"], TypeError, "encode() argument 'allowed_special' must hold str, found bytes"),
])
def test_allowed_special_errors(tok, allowed, error, message):
    with pytest.raises(error) as caught:
        tok.encode("x", allowed_special=allowed)
    assert str(caught.value) == message


def byte_vocab():
    return {i: bytes([i]) for i in range(256)}


@pytest.mark.parametrize("specials, error, message", [
    ({"<|x|>": 65}, ValueError, "special token '<|x|>' has the id 65, which the vocabulary holds"),
    ({"<|x|>": 300, "<|y|>": 300}, ValueError,
     "special tokens '<|x|>' and '<|y|>' have the same id 300"),
    ({"": 300}, ValueError, "a special token's text must not be empty"),
    ({"<|x|>": 2**32 - 1}, ValueError,
     "special token '<|x|>' has the id 4294967295, expected 0 to 4294967294"),
    ({"<|x|>": -1}, ValueError, "special token '<|x|>' has the id -1, expected 0 to 4294967294"),
    ({"<|x|>": 70000, "<|y|>": 70000}, ValueError,
     "special tokens '<|x|>' and '<|y|>' have the same id 70000"),
    ({"<|x|>": "300"}, TypeError, "special_tokens must map str to int, found '<|x|>': '300'"),
    (["<|x|>"], TypeError, "special_tokens must be a mapping of str to int, not list"),
])
@pytest.mark.parametrize("make", [Tokenizer, _native.Tokenizer], ids=["package", "native"])
def test_constructor_checks_the_special_tokens(make, specials, error, message):
    with pytest.raises(error) as caught:
        make([], byte_vocab(), specials)
    assert str(caught.value) == message


@pytest.mark.parametrize("ids", [{"<s>": 65535, "</s>": 257}, {"<s>": 65536, "</s>": 70000},
                                 {"<s>": 2**32 - 2, "</s>": 257}])
def test_constructor_takes_any_free_ids(ids):
    tok = Tokenizer([((97, 98), 256)], byte_vocab() | {256: b"ab"}, special_tokens=ids)
    s, end = ids["<s>"], ids["</s>"]
    assert tok.encode("<s>ab</s>", allowed_special="all") == [s, 256, end]
    assert tok.encode_array("<s>ab</s>", allowed_special="all").tolist() == [s, 256, end]
    for given in ([s, end], array("I", [s, end])):
        assert tok.decode(given) == "<s></s>" and tok.decode_bytes(given) == b"<s></s>"
    assert tok.id_to_bytes(s) == b"<s>"
    assert tok.vocab_size == 257 and tok.special_tokens == ids
    assert pickle.loads(pickle.dumps(tok)).encode("</s><s>", allowed_special={"<s>"}) == \
        tok.encode("</s>") + [s]


@pytest.mark.parametrize("specials, size, error, message", [
    (["<|a|>", "<|a|>"], 8000, ValueError, "special token '<|a|>' is given twice"),
    (["<|a|>", ""], 8000, ValueError, "a special token's text must not be empty (index 1)"),
    (["x", 1], 8000, TypeError, "special_tokens must hold str, found int at index 1"),
    ("<|a|>", 8000, TypeError, "special_tokens must be a list of str, not a single str"),
    (["<a>", "<b>"], 2**32 - 2, ValueError,
     "2 special tokens are too many: their ids follow the learned ones (up to 4294967293) and end "
     "at 4294967294, which leaves room for 1"),
])
def test_training_checks_the_special_tokens_first(tmp_path, specials, size, error, message):
    for train in (lambda: Tokenizer.train(["ab"], workdir=tmp_path, special_tokens=specials,
                                          vocab_size=size),
                  lambda: Tokenizer.train_count_files([tmp_path / "none"], workdir=tmp_path,
                                                      special_tokens=specials, vocab_size=size)):
        with pytest.raises(error) as caught:
            train()
        assert str(caught.value) == message
    # The native training checks the same.
    counts = WordCounts()
    counts.add("ab", 5)
    with pytest.raises(error) as caught:
        _native.train(Tokenizer, counts, tmp_path, special_tokens=specials, vocab_size=size)
    assert str(caught.value) == message
    assert list(tmp_path.iterdir()) == []


def test_every_training_keeps_them_in_the_records(tmp_path):
    counts = {"ab": 5, " ab": 3}
    count_file = tmp_path / "c.counts"
    native = WordCounts()
    native.add("ab", 5)
    native.add(" ab", 3)
    native.save(count_file)
    made = [Tokenizer.train_counts(counts, workdir=tmp_path / "1", special_tokens=["<s>", "é"]),
            Tokenizer.train_chunks(["ab"] * 5 + [" ab"] * 3, workdir=tmp_path / "2",
                                   special_tokens=("<s>", "é")),
            Tokenizer.train_count_files([count_file], workdir=tmp_path / "3",
                                        special_tokens=iter(["<s>", "é"]))]
    first = max(made[0].vocab) + 1
    for i, tok in enumerate(made, 1):
        assert tok.special_tokens == {"<s>": first, "é": first + 1}
        assert Tokenizer.load(tmp_path / str(i)).special_tokens == tok.special_tokens
    record = tmp_path / "1/data/special_tokens.json"
    assert record.read_text() == (f'[\n  {{"id":{first},"text":"<s>"}},\n'
                                  f'  {{"id":{first + 1},"text":"\\u00e9"}}\n]')
    # Trained again without them: no file, and no special tokens.
    assert Tokenizer.train_counts(counts, workdir=tmp_path / "1").special_tokens == {}
    assert not record.exists()
    assert Tokenizer.load(tmp_path / "1").special_tokens == {}


# Every message is in tests/cpp/reserved_tokens_test.cpp; these show the paths.
@pytest.mark.parametrize("text, message", [
    ('[\n  {"id":100,"text":"x"}\n]', "line 2: expected an id that is not in {V}, found 100"),
    ('[\n  {"id":8000,"text":"\\udfff"}\n]',
     "line 2: expected an entry {\"id\":ID,\"text\":TEXT} with an id 0 to 4294967294 and a non-empty "
     "TEXT without lone surrogates, found '{\"id\":8000,\"text\":\"\\\\udfff\"}'"),
    ('[\n  {"id":8000,"text":"日"}\n]', "line 2: expected ASCII text, found the byte 0xe6"),
])
def test_a_damaged_record_names_file_and_line(tmp_path, text, message):
    Tokenizer.train_counts({"ab": 5}, workdir=tmp_path, special_tokens=["<s>"])
    data = tmp_path / "data"
    (data / "special_tokens.json").write_text(text, encoding="utf-8")
    with pytest.raises(RecordError) as caught:
        Tokenizer.load(tmp_path)
    vocab = str(data / "vocab_list.json")
    assert str(caught.value) == f"{data / 'special_tokens.json'}, " + message.replace("{V}", vocab)


def test_shards_take_a_special_token_as_eot(tok, tmp_path):
    (tmp_path / "a.txt").write_text("x<|endoftext|>")
    (tmp_path / "b.jsonl").write_text('{"t": "y"}\n')
    eot = tok.special_tokens["<|endoftext|>"]
    write_shards([tmp_path / "a.txt"], tmp_path / "o", tokenizer=tok, eot="<|endoftext|>")
    write_shards([tmp_path / "b.jsonl"], tmp_path / "o", tokenizer=tok, eot=eot, jsonl_field="t")
    assert array("H", (tmp_path / "o/a.bin").read_bytes()).tolist() == tok.encode(
        "x<|endoftext|>") + [eot]
    assert array("H", (tmp_path / "o/b.bin").read_bytes()).tolist() == tok.encode("y") + [eot]
    job = (tmp_path / "a.txt", tmp_path / "c.bin", tmp_path / "c.idx")
    tok.write_shards([job], eot="<|b|>")
    assert array("H", (tmp_path / "c.bin").read_bytes())[-1] == tok.special_tokens["<|b|>"]
    with pytest.raises(ValueError, match=r"^eot: '<\|c\|>' is not a special token of this "):
        tok.write_shards([job], eot="<|c|>")


def test_cli(package_env, tmp_path):
    def ovilex(*args, stdin=b""):
        return subprocess.run([sys.executable, "-m", "ovilex", *map(str, args)], cwd=tmp_path,
                              input=stdin, capture_output=True, env=package_env, timeout=120)

    (tmp_path / "a.txt").write_text(CORPUS)
    done = ovilex("train", "a.txt", "--workdir", "wd", "--special-token", "<|endoftext|>",
                  "--special-token", "<|a|>")
    assert done.returncode == 0, done.stderr.decode()
    tok = Tokenizer.load(tmp_path / "wd")
    eot, a = tok.special_tokens.values()
    assert re.search(f"^special tokens +2 \\(ids {eot} to {a}\\)$", done.stdout.decode(), re.M)
    text = "x<|a|><|endoftext|>"
    for flags, allowed in [((), None), (("--allowed-special", "all"), "all"),
                           (("--allowed-special", "<|a|>"), ["<|a|>"])]:
        ids = tok.encode(text, allowed_special=allowed)
        done = ovilex("encode", "--workdir", "wd", *flags, stdin=text.encode())
        assert done.stdout.decode() == " ".join(map(str, ids)) + "\n"
    done = ovilex("decode", "--workdir", "wd", stdin=f"120 {a} {eot}".encode())
    assert done.stdout.decode() == "x<|a|><|endoftext|>"
    done = ovilex("encode", "a.txt", "--out", "o", "--workdir", "wd", "--eot", "<|endoftext|>")
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "o/a.bin").read_bytes()[-2:] == eot.to_bytes(2, "little")
    for args, status, message in [
        (("encode", "--workdir", "wd", "--allowed-special", "<|c|>"), 1,
         "ovilex: error: --allowed-special: '<|c|>' is not a special token of the tokenizer in wd"),
        (("encode", "a.txt", "--out", "o", "--allowed-special", "all"), 2,
         "ovilex: error: --allowed-special applies to standard input, not to files with --out"),
        (("train", "a.txt", "--special-token", "x", "--special-token", "x"), 1,
         "ovilex: error: --special-token: special token 'x' is given twice"),
    ]:
        done = ovilex(*args)
        assert (done.returncode, done.stderr.decode().splitlines()[-1]) == (status, message)
