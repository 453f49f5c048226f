"""The published tiktoken encodings (tools/fetch-encoders puts them in a cache
outside the tree) loaded by Tokenizer.from_tiktoken, held to tiktoken's own
ids on real text, and the JSON rank files ovilex refuses, with their
messages. Without the files these tests skip, or fail where
OVILEX_ENCODERS_REQUIRED=1 (tools/test sets it)."""

import base64
import json
import os
import pathlib
import sys
import sysconfig

import pytest

from ovilex import Tokenizer, TokenizerFileError
from ovilex.patterns import pattern_name

tiktoken = pytest.importorskip("tiktoken")

ENCODERS = pathlib.Path(os.environ.get("OVILEX_ENCODERS_DIR", "/var/cache/ovilex/encoders"))
NAMES = ["gpt2", "r50k_base", "p50k_base", "p50k_edit", "cl100k_base", "o200k_base"]
SPECIALS_TEXT = ("<|endoftext|> at the start, <|fim_prefix|>in<|fim_middle|> the middle "
                 "<|fim_suffix|>, <|endofprompt|> and <|endoftext|>")


def encoder_file(name):
    path = ENCODERS / f"{name}.json"
    if not path.is_file():
        message = f"no {path}: run tools/fetch-encoders"
        if os.environ.get("OVILEX_ENCODERS_REQUIRED") == "1":
            pytest.fail(message)
        pytest.skip(message)
    return path


def compact_ranks(text):
    """bytes -> rank of a bpe_ranks string: lines "! FIRST B64 B64 ...", the
    tokens ranked FIRST, FIRST + 1, ... in turn."""
    ranks = {}
    for line in filter(None, text.split("\n")):
        marker, first, *tokens = line.split(" ")
        assert marker == "!"
        for rank, token in enumerate(tokens, int(first)):
            ranks[base64.b64decode(token, validate=True)] = rank
    return ranks


def real_texts():
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("[a-s]*.py"))[:60]
    text = "".join(p.read_text(encoding="utf-8") for p in paths)
    pieces = [text[i:i + 20_000] for i in range(0, len(text), 20_000)]
    return pieces + ["Ünïcödé Ελληνικά русский 中文字 😀👍🏽 ١٢٣ ४५६ it's WE'RE  \n\n\t x",
                     "x" * 5000 + " " * 700 + "\r\n" * 40, "".join(
                         chr(c) + "a1 " for c in range(0x20, 0x3000) if chr(c).isprintable())]


@pytest.fixture(scope="module", params=NAMES)
def published(request, tmp_path_factory):
    """(name, file's content, ranks, tiktoken's Encoding of them)."""
    path = encoder_file(request.param)
    info = json.loads(path.read_text(encoding="utf-8"))
    ranks = compact_ranks(info["bpe_ranks"])
    enc = tiktoken.Encoding(request.param, pat_str=info["pat_str"], mergeable_ranks=ranks,
                            special_tokens=info["special_tokens"],
                            explicit_n_vocab=info.get("explicit_n_vocab"))
    return path, info, ranks, enc, tmp_path_factory.mktemp(request.param)


def test_published_encodings_give_tiktokens_ids(published):
    path, info, ranks, enc, tmp = published
    try:
        pattern_name(info["pat_str"])
    except ValueError as e:
        # A pattern family ovilex does not split by: refused as the
        # constructor refuses it.
        with pytest.raises(ValueError) as refused:
            Tokenizer.from_tiktoken(path)
        assert str(refused.value) == str(e)
        pytest.skip(f"ovilex does not split by {path.stem}'s pattern")
    tok = Tokenizer.from_tiktoken(path)
    assert tok.vocab == {rank: data for data, rank in ranks.items()}
    assert tok.special_tokens == info["special_tokens"]
    texts = real_texts()
    assert sum(map(len, texts)) > 1_000_000
    ours = tok.encode_batch(texts)
    assert ours == enc.encode_ordinary_batch(texts)
    assert [tok.decode(ids) for ids in ours] == texts
    with_specials = [t + SPECIALS_TEXT for t in texts[:5]] + [SPECIALS_TEXT]
    ours = tok.encode_batch(with_specials, allowed_special="all")
    assert ours == enc.encode_batch(with_specials, allowed_special="all")
    assert sum(ids.count(i) for ids in ours for i in info["special_tokens"].values()) >= 12
    assert [tok.decode(ids) for ids in ours] == with_specials
    # The same ranks as a .tiktoken file make the same tokenizer.
    lines = tmp / f"{path.stem}.tiktoken"
    lines.write_text("".join(f"{base64.b64encode(b).decode()} {r}\n" for b, r in ranks.items()))
    again = Tokenizer.from_tiktoken(lines, pattern=info["pat_str"],
                                    special_tokens=info["special_tokens"])
    assert (again.vocab, again.special_tokens, again.pattern, again.merging,
            again.whole_chunks) == (tok.vocab, tok.special_tokens, tok.pattern, tok.merging,
                                    tok.whole_chunks)
    assert again.encode_batch(texts[:10]) == tok.encode_batch(texts[:10])


def test_published_merge_list_is_the_one_ranks_make():
    """The merge list of a loaded file (derived on first use) is the one the
    constructor derives from the same ranks."""
    path = encoder_file("gpt2")
    ranks = compact_ranks(json.loads(path.read_text(encoding="utf-8"))["bpe_ranks"])
    tok = Tokenizer.from_tiktoken(path)
    made = Tokenizer(None, tok.vocab, tok.special_tokens, pattern="gpt2", merging="token_rank",
                     whole_chunks=True)
    assert tok.merges == made.merges and len(tok.merges) == len(ranks) - 256


BYTES = " ".join(base64.b64encode(bytes([b])).decode() for b in range(256))


def json_file(**changes):
    info = {"pat_str": "gpt2", "special_tokens": {"<|endoftext|>": 300},
            "bpe_ranks": f"! 0 {BYTES}\n! 256 YWI="}
    info.update(changes)
    return json.dumps({k: v for k, v in info.items() if v is not None})


REFUSED = [
    ('{"pat_str": ', TokenizerFileError,
     "not a tiktoken JSON file: Expecting value: line 1 column 13 (char 12)"),
    (json_file(bpe_ranks=None), TokenizerFileError, "bpe_ranks is missing"),
    (json_file(bpe_ranks=5), TokenizerFileError, "bpe_ranks must be a str, found int"),
    (json_file(pat_str=None), TokenizerFileError,
     "no pattern given and no pat_str in the file"),
    (json_file(special_tokens=["<s>"]), TokenizerFileError,
     "special_tokens must be an object, found list"),
    (json_file(special_tokens={"<s>": -1}), TokenizerFileError,
     "special token '<s>' has the id -1, expected an int of 0 or more"),
    (json_file(special_tokens={"<s>": 256}), TokenizerFileError,
     "special token '<s>' has the id 256, a rank of the file"),
    (json_file(special_tokens={"<s>": 300, "<t>": 300}), TokenizerFileError,
     "special tokens '<s>' and '<t>' have the same id 300"),
    (json_file(explicit_n_vocab=300), TokenizerFileError,
     "explicit_n_vocab is 300, but the ranks and special tokens are 258 ids, the greatest 300"),
    (json_file(explicit_n_vocab="258"), TokenizerFileError,
     "explicit_n_vocab must be an int of 0 or more, found '258'"),
    (json_file(bpe_ranks=f"0 {BYTES}"), TokenizerFileError,
     "bpe_ranks, line 1: expected '! RANK BASE64 ...', found '0 AA== AQ== Ag== Aw== BA== BQ== Bg== Bw='"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! x YWI="), TokenizerFileError,
     "bpe_ranks, line 2: expected '! RANK BASE64 ...', found '! x YWI='"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 256 YWI"), TokenizerFileError,
     "bpe_ranks, line 2: 'YWI' is not base64"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 256 YW=I"), TokenizerFileError,
     "bpe_ranks, line 2: 'YW=I' is not base64"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 256  YWI="), TokenizerFileError,
     "bpe_ranks, line 2: an empty token"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 255 YWI="), TokenizerFileError,
     "bpe_ranks, line 2: rank 255 is given twice"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 256 YQ=="), TokenizerFileError,
     "bpe_ranks, line 2: b'a' is given twice (ranks 97 and 256)"),
    # The first problem in the file, though bytes given twice are found last.
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 256 YQ==\n! x YWI="), TokenizerFileError,
     "bpe_ranks, line 2: b'a' is given twice (ranks 97 and 256)"),
    (json_file(bpe_ranks=f"! 0 {BYTES}\n! 4294967294 YWI= YWJj"), TokenizerFileError,
     "bpe_ranks, line 2: b'abc' has the id 4294967295: ovilex's ids are 0 to 4294967294"),
    (json_file(bpe_ranks="! 0 " + BYTES.split(" ", 1)[1]), TokenizerFileError,
     "no token stands for the byte 0x00: byte-level BPE needs all 256"),
    (json_file(pat_str=r"\w+"), ValueError, r"split pattern '\\w+'"),
]


@pytest.mark.parametrize("content, error, message", REFUSED,
                         ids=[case[2][:48] for case in REFUSED])
def test_json_rank_files_ovilex_cannot_use_are_refused(tmp_path, content, error, message):
    path = tmp_path / "enc.json"
    path.write_text(content, encoding="utf-8")
    with pytest.raises(error) as e:
        Tokenizer.from_tiktoken(path)
    if error is ValueError:  # split_rules's message, which names what it refuses
        assert str(e.value).startswith(message + ":")
    else:
        assert str(e.value) == f"{path}: {message}"


@pytest.mark.parametrize("content, kwargs, pattern, specials", [
    # The file's pattern and special tokens.
    (json_file(), {}, "gpt2", {"<|endoftext|>": 300}),
    # Arguments win over the file's.
    (json_file(pat_str=r"\w+"), {"pattern": "ovilex", "special_tokens": {}}, "ovilex", {}),
    # A .tiktoken file, its lines ending in CRLF, a blank one among them.
    ("".join(f"{base64.b64encode(bytes([b])).decode()} {b}\r\n" for b in range(256)) +
     "\r\nYWI= 256\r\n", {"pattern": "gpt2", "special_tokens": {"<s>": 400}}, "gpt2",
     {"<s>": 400}),
])
def test_rank_files_load_with_their_pattern_and_special_tokens(tmp_path, content, kwargs,
                                                               pattern, specials):
    path = tmp_path / "enc.json"
    path.write_text(content, encoding="utf-8", newline="")
    tok = Tokenizer.from_tiktoken(path, **kwargs)
    assert (tok.pattern, tok.special_tokens, tok.vocab_size) == (pattern, specials, 257)
    assert tok.encode("abab") == [256, 256] and tok.merges == [((97, 98), 256)]
