"""Tokenizer.decoder(): ids fed in pieces give the text and the errors of
decode on every id fed so far."""

import array
import inspect

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ovilex import Tokenizer

BYTES = Tokenizer([], {i: bytes([i]) for i in range(256)})
TEXT = "añ€😀 日本語 😀€ña 𝄞x" * 3
INVALID = "decoded bytes are not valid UTF-8: "
INCOMPLETE = INVALID + "incomplete utf-8 byte sequence from index "


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """Its merges make tokens that end or start inside a character."""
    chunks = [TEXT[i:i + 3] for i in range(len(TEXT) - 2)] * 4
    return Tokenizer.train_chunks(chunks, workdir=tmp_path_factory.mktemp("wd"))


@pytest.fixture(scope="module")
def toks(trained):
    """trained, and the same with its merges' ids moved above 65535 (the
    last to the greatest id) and special tokens there too."""
    merges = trained.merges
    far = {new: 70_000 + k for k, (_, new) in enumerate(merges)} | {merges[-1][1]: 2**32 - 2}

    def moved(token_id):
        return far.get(token_id, token_id)
    vocab = {moved(i): data for i, data in trained.vocab.items()}
    tok = Tokenizer([((moved(a), moved(b)), moved(new)) for (a, b), new in merges], vocab,
                    {"<|end|>": 65536, "<é>": 2**32 - 3})
    ids = tok.encode(TEXT)
    assert sum(i > 0xFFFF for i in ids) > len(ids) // 2
    return {"trained": trained, "far": tok}


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except (KeyError, OverflowError, TypeError, ValueError) as e:
        return (type(e), e.args)


def check_stream(tok, batches):
    """Feeds the batches, holding every step to decode on all ids so far."""
    decoder, fed, out = tok.decoder(), [], ""
    for batch in batches:
        fed += batch
        expected, got = outcome(tok.decode, fed), outcome(decoder.feed, batch)
        if got[0] != "ok":
            assert got == expected
            return
        out += got[1]
        if expected[0] != "ok":  # only a character cut short at the end, held back
            index = int(expected[1][0].removeprefix(INCOMPLETE))
            expected = ("ok", tok.decode_bytes(fed)[:index].decode())
        assert out == expected[1]
    expected = outcome(tok.decode, fed)
    assert outcome(decoder.finish) == (("ok", "") if expected[0] == "ok" else expected)
    assert decoder.feed([65]) == "A" and decoder.pending == b""  # a new stream


def batched(ids):
    """ids cut into consecutive batches at drawn points."""
    return st.lists(st.integers(0, len(ids)), max_size=6).map(sorted).map(
        lambda cuts: [ids[a:b] for a, b in zip([0, *cuts], [*cuts, len(ids)])])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from([0x41, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
                                 0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF]),
                max_size=12).flatmap(batched))
def test_byte_streams_match_decode(batches):
    check_stream(BYTES, batches)


@pytest.mark.parametrize("name", ["trained", "far"])
@settings(max_examples=300, deadline=None)
@given(st.data())
def test_token_streams_match_decode(toks, name, data):
    """Text cut anywhere (inside 4-byte characters too), or random ids of
    the vocabulary and the special tokens, and now and then an unknown one."""
    tok = toks[name]
    ids = tok.encode(TEXT)
    some = (sorted(tok.vocab)[-40:] + list(tok.special_tokens.values())
            + [0x41, 0xF0, tok.vocab_size + 5, 2**32 - 1])
    stream = data.draw(st.one_of(st.integers(0, len(ids)).map(lambda n: ids[:n]),
                                 st.lists(st.sampled_from(some), max_size=10)))
    check_stream(tok, data.draw(batched(stream)))


@pytest.mark.parametrize("stream, error", [
    ([[0xE2, 0x82], [0x41]], "invalid utf-8 sequence of 2 bytes from index 1"),
    ([[0x41, 0x42], [0xF0], [0x9F, 0x98]], "incomplete utf-8 byte sequence from index 3"),
    ([[0x41, 0xF0, 0x9F], [0x98, 0x80, 0xC3], [0xC3]],
     "invalid utf-8 sequence of 1 bytes from index 6"),
])
def test_messages_count_from_the_start_of_the_stream(stream, error):
    decoder = BYTES.decoder()
    assert decoder.feed([0x78, 0x79, 0xE2]) == "xy" and decoder.feed([0x82, 0xAC]) == "€"
    assert decoder.finish() == ""
    decoder.feed([0x61])
    with pytest.raises(ValueError) as info:
        for batch in stream:
            decoder.feed(batch)
        decoder.finish()
    assert info.value.args == (INVALID + error,)


def test_a_feed_that_raises_changes_nothing():
    decoder = BYTES.decoder()
    assert decoder.feed([0x61, 0xF0, 0x9F]) == "a"
    for bad in ([0x41], [0x98, 0xFF], [300]):
        with pytest.raises((ValueError, KeyError)):
            decoder.feed(bad)
    assert decoder.pending == b"\xf0\x9f"
    assert decoder.feed(array.array("H", [0x98, 0x80])) == "😀"
    with pytest.raises(ValueError, match="from index 5$"):
        decoder.feed([0x80])


@pytest.mark.parametrize("ids", [[70000], [-1], [2**32 - 1], [2**32], ["a"], [1.0], 5, None,
                                 (65, 66), b"AB", array.array("H", [65, 300]),
                                 array.array("I", [65, 66]), array.array("I", [65, 70000]),
                                 array.array("B", [65]), array.array("Q", [65]), range(65, 68)])
def test_ids_taken_and_refused_as_decode_takes_them(ids):
    assert outcome(BYTES.decoder().feed, ids) == outcome(BYTES.decode, ids)


def test_special_tokens_decode_to_their_text(tmp_path, toks):
    if "special_tokens" not in inspect.signature(Tokenizer.train).parameters:
        pytest.skip("this build has no special tokens")
    trained = Tokenizer.train(["añ€😀 " * 20], workdir=tmp_path, special_tokens=["<|end|>", "<é>"])
    for tok in (trained, toks["far"]):
        ids = tok.encode("añ<|end|>€<é>😀", allowed_special="all")
        assert "".join(tok.decoder().feed([i]) for i in ids) == "añ<|end|>€<é>😀"
        assert tok.decoder().feed(array.array("I", ids)) == "añ<|end|>€<é>😀"
    assert max(ids) == 2**32 - 3
