"""The ovilex package: split on multilingual text, the Tokenizer against the
native functions called directly, the record-file reader and its messages."""

import array
import os
import pathlib
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ovilex
import ovilex
from ovilex import RecordError, SourceError, Tokenizer, split
from records_reference import MERGE_ENTRY, VOCAB_ENTRY
from reference import encode_train_records

# --------------------------------------------------------------------------
# split

SPLITS = [
    ("", []),
    ("It's  foo_bar 42", ["It", "'s", " ", " foo", "_", "bar", " 42"]),
    ("we'll don't I'M rock'n'roll", ["we", "'ll", " don", "'t", " I", "'", "M", " rock", "'",
                                    "n", "'", "roll"]),
    ("it\u2019s", ["it", "\u2019", "s"]),  # a typographic apostrophe is a symbol
    ("__init__.py", ["__", "init", "__.", "py"]),
    ("café crème brûlée", ["café", " crème", " brûlée"]),
    ("cafe\u0301", ["cafe", "\u0301"]),  # a combining accent is a symbol
    ("Москва — столица.", ["Москва", " —", " столица", "."]),
    ("Η Ελλάδα, 2024!", ["Η", " Ελλάδα", ",", " 2024", "!"]),
    ("日本語のテキスト。東京", ["日本語のテキスト", "。", "東京"]),
    ("مرحبا بالعالم ١٢٣", ["مرحبا", " بالعالم", " ١٢٣"]),
    ("abc२०२४", ["abc", "२०२४"]),  # Devanagari digits are digits
    ("हिन्दी", ["ह", "ि", "न", "्", "द", "ी"]),  # vowel signs and virama are marks
    ("x² Ⅻ 3.14", ["x²", " Ⅻ", " 3", ".", "14"]),  # other numerals count as letters
    ("hi 👍🏽👍 ok", ["hi", " 👍🏽👍", " ok"]),
    ("👨\u200d👩\u200d👧!", ["👨\u200d👩\u200d👧!"]),
    ("a  b", ["a", " ", " b"]),
    ("a\t\tb", ["a", "\t", "\t", "b"]),
    ("a \u00a0b", ["a", " ", "\u00a0", "b"]),  # only U+0020 leads a chunk
    ("x\r\n\r\ny", ["x", "\r\n\r", "\n", "y"]),
    ("end  \n", ["end", "  \n"]),
    ("\u3000日本 \u2028", ["\u3000", "日本", " \u2028"]),
    ("  ...", [" ", " ..."]),
]

TEXTS = [text for text, _ in SPLITS] + [
    "Ünïcödé ＦＵＬＬＷＩＤＴＨ ０１２ 한국어 텍스트 ภาษาไทย עברית\n\t \x0b\x0c\x1c end",
    "\ud7ff\ue000\U0010ffff \x00\x01 ' '' 's 'S",
]


@pytest.mark.parametrize("text, chunks", SPLITS)
def test_split_gives_the_expected_chunks(text, chunks):
    assert split(text) == chunks


@pytest.mark.parametrize("text", TEXTS)
def test_chunks_concatenate_to_the_text(text):
    assert "".join(split(text)) == text


@settings(max_examples=300, deadline=None)
@given(st.text())
def test_chunks_concatenate_to_any_text(text):
    chunks = split(text)
    assert "".join(chunks) == text
    assert "" not in chunks


def test_package_exports():
    assert ovilex.split is split
    assert set(ovilex.__all__) >= {"split", "SPLIT_PATTERN", "Tokenizer", "RecordError"}
    assert (pathlib.Path(ovilex.__file__).parent / "py.typed").is_file()


# --------------------------------------------------------------------------
# Tokenizer

CORPUS = [
    "The quick brown fox jumps over the lazy dog. " * 40,
    "Москва — столица России. Ελλάδα, Αθήνα. 日本語のテキスト。 " * 30,
    "def f(x_1, y_2):\n    return x_1 ** 2 + y_2  # 👍🏽\n" * 30,
    "",
]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A tokenizer trained on CORPUS, and its workdir."""
    workdir = tmp_path_factory.mktemp("trained")
    return Tokenizer.train(CORPUS, workdir=workdir), workdir


def test_train_from_texts_is_encode_train_of_the_chunks(tmp_path):
    here = os.getcwd()
    tok = Tokenizer.train(CORPUS, workdir=tmp_path / "a")
    assert os.getcwd() == here
    merges, (merges_file, vocab_file) = encode_train_records(
        [c for t in CORPUS for c in split(t)], tmp_path / "b")
    assert tok.merges == merges
    assert (tmp_path / "a/data/merges_record.json").read_bytes() == merges_file
    assert (tmp_path / "a/data/vocab_list.json").read_bytes() == vocab_file
    assert tok.vocab_size == 256 + len(merges)


def test_train_from_files_and_in_processes_is_the_same(tmp_path, trained):
    paths = []
    for i, text in enumerate(CORPUS):
        path = tmp_path / f"{i}.txt"
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    mixed = [paths[0], CORPUS[1], paths[2], paths[3]]
    assert Tokenizer.train(mixed, workdir=tmp_path / "w1").merges == trained[0].merges
    assert (Tokenizer.train(paths, workdir=tmp_path / "w2", processes=2).merges
            == trained[0].merges)


def test_load_gives_the_trained_tokenizer(trained):
    tok, workdir = trained
    loaded = Tokenizer.load(workdir)
    assert loaded.merges == tok.merges
    assert [loaded.id_to_bytes(i) for i in range(loaded.vocab_size)] == \
        [tok.id_to_bytes(i) for i in range(tok.vocab_size)]


@pytest.mark.parametrize("text", TEXTS + CORPUS[:3])
def test_encode_is_the_native_encode_and_decodes_back(trained, text):
    tok, _ = trained
    ids = tok.encode(text)
    assert ids == _ovilex.encode(split(text), tok.merges)
    assert tok.decode(ids) == text


def test_encode_batch_and_encode_chunks_cut_at_every_text(trained):
    tok, _ = trained
    texts = ["", "The quick", "", " brown fox jumps", "日本語", "👍🏽", ""]
    assert tok.encode_batch(texts) == [tok.encode(t) for t in texts]
    assert tok.encode_batch([]) == []
    chunks = split("The quick brown fox. Ελλάδα")
    assert tok.encode_chunks(chunks) == [_ovilex.encode([c], tok.merges) for c in chunks]


def test_id_to_bytes_and_vocab_size(trained):
    tok, _ = trained
    assert tok.vocab_size == 256 + len(tok.merges)
    assert tok.id_to_bytes(97) == b"a"
    for (left, right), new in tok.merges:
        assert tok.id_to_bytes(new) == tok.id_to_bytes(left) + tok.id_to_bytes(right)
    for bad in (65535, 70000, -1):
        with pytest.raises(KeyError) as info:
            tok.id_to_bytes(bad)
        assert str(info.value) == f"'unknown token id {bad}'"


@pytest.mark.parametrize("ids, error, message", [
    ([65535], KeyError, "'unknown token id 65535 in vocab_list'"),
    ([97, 70000, 2**32 - 1], KeyError, "'unknown token id 70000 in vocab_list'"),
    ([97, 2**32], OverflowError, "out of range integral type conversion attempted"),
    ([195], ValueError, "decoded bytes are not valid UTF-8: incomplete utf-8 byte sequence "
                        "from index 0"),
])
def test_decode_errors_are_the_native_ones(trained, ids, error, message):
    with pytest.raises(error) as info:
        trained[0].decode(ids)
    assert str(info.value) == message


@pytest.mark.parametrize("sources, error, message", [
    ("text", TypeError, "sources must be an iterable of texts and paths, not a single str"),
    ([b"text"], TypeError, "a source must be a str (text) or an os.PathLike (file), found bytes"),
    (["", ""], SourceError, "no text to train on"),
    ([], SourceError, "no text to train on"),
])
def test_train_refuses_bad_sources(tmp_path, sources, error, message):
    with pytest.raises(error) as info:
        Tokenizer.train(sources, workdir=tmp_path)
    assert str(info.value) == message
    assert not (tmp_path / "data").exists()


def test_train_reports_files_it_cannot_use(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"fine\nnot \xff fine\n")
    with pytest.raises(SourceError) as info:
        Tokenizer.train([bad], workdir=tmp_path)
    assert str(info.value) == f"{bad}: not UTF-8 text (line 2, byte 0xff)"
    with pytest.raises(FileNotFoundError):
        Tokenizer.train([tmp_path / "missing.txt"], workdir=tmp_path)


def test_train_write_failures_name_the_workdir_and_restore_the_cwd(tmp_path):
    here = os.getcwd()
    (tmp_path / "file").write_text("x")
    with pytest.raises(OSError) as info:
        Tokenizer.train(["a b"], workdir=tmp_path / "file")
    assert str(info.value) == f"cannot use {tmp_path / 'file'} as the working directory: File exists"
    (tmp_path / "w").mkdir()
    (tmp_path / "w/data").write_text("in the way")
    with pytest.raises(OSError) as info:
        Tokenizer.train(["a b"], workdir=tmp_path / "w")
    assert str(info.value).startswith(f"in {tmp_path / 'w'}: failed to write data/merges_record.json: ")
    assert os.getcwd() == here


BASE = {i: bytes([i]) for i in range(256)}


@pytest.mark.parametrize("merges, vocab, error, message", [
    ([((97, 98), 256)], {}, ValueError, "the vocabulary must map id 0 to the single byte 0"),
    ([((97, 98), 256)], BASE | {97: b"b"}, ValueError,
     "the vocabulary must map id 97 to the single byte 97"),
    ([((97, 98), 256)], BASE | {256: b"ba"}, ValueError,
     "merge 0 ((97, 98), 256): expected the bytes of id 256 in the vocabulary to be those of "
     "ids 97 and 98 joined, found [98, 97]"),
    ([((97, 98), 256), ((97, 98), 257)], BASE | {256: b"ab"}, ValueError,
     "merge 1 ((97, 98), 257): id 257 is not in the vocabulary"),
    ([((97, 98), 70000)], BASE, ValueError,
     "merge 0 ((97, 98), 70000): id 70000 is not in the vocabulary"),
    ([((97, 98), 2**32 - 1)], {}, ValueError,
     "a merge must hold ids 0 to 4294967294, found ((97, 98), 4294967295)"),
    ([((-1, 98), 256)], {}, ValueError,
     "a merge must hold ids 0 to 4294967294, found ((-1, 98), 256)"),
    ([((97, 98.0), 256)], {}, TypeError, "a merge must hold three ints, found ((97, 98.0), 256)"),
    ([((97, True), 256)], {}, TypeError, "a merge must hold three ints, found ((97, True), 256)"),
    ([((97, 98), 256, 1)], {}, TypeError,
     "a merge must be ((left, right), new), found ((97, 98), 256, 1)"),
    ([(97, 256)], {}, TypeError, "a merge must be ((left, right), new), found (97, 256)"),
    (7, {}, TypeError, "merges must be an iterable of ((left, right), new), not int"),
    (None, BASE, TypeError, "merges may be None only with merging='token_rank'"),
    ([], BASE | {256: "ab"}, TypeError, "the vocabulary must map ints to bytes, found 256: 'ab'"),
    ([], BASE | {2**32 - 1: b"ab"}, ValueError,
     "the vocabulary must map ids 0 to 4294967294 to one or more bytes, found 4294967295: b'ab'"),
    ([], BASE | {256: b""}, ValueError,
     "the vocabulary must map ids 0 to 4294967294 to one or more bytes, found 256: b''"),
    ([], [BASE], TypeError, "vocab must be a mapping of int to bytes, not list"),
])
@pytest.mark.parametrize("make", [Tokenizer, ovilex._native.Tokenizer], ids=["package", "native"])
def test_constructor_checks_merges_against_the_vocabulary(make, merges, vocab, error, message):
    with pytest.raises(error) as info:
        make(merges, vocab)
    assert str(info.value) == message


def test_constructor_takes_ids_to_4294967294():
    """Far ids in the merges and the vocabulary, lists as pairs, any mapping."""
    far = 2**32 - 2
    merges = [[[97, 98], 70000], ((70000, 99), far)]
    vocab = dict(BASE | {70000: b"ab", far: b"abc"})
    tok = Tokenizer(iter(merges), types.MappingProxyType(vocab))
    assert tok.merges == [((97, 98), 70000), ((70000, 99), far)]
    assert tok.vocab == vocab and tok.vocab_size == 258
    assert tok.encode("abcab") == [far, 70000]
    assert tok.decode(array.array("I", [far, 70000])) == "abcab"
    assert (tok.id_to_bytes(far), tok.decode_bytes([70000, 97])) == (b"abc", b"aba")
    for bad in (far - 1, far + 1):
        with pytest.raises(KeyError) as info:
            tok.id_to_bytes(bad)
        assert str(info.value) == f"'unknown token id {bad}'"


# --------------------------------------------------------------------------
# Record files

MERGES_TEXT = '[\n  {"pair":[97,98],"id":256},\n  {"pair":[256,99],"id":257}\n]'
VOCAB_LINES = ([f'  {{"id":{i},"bytes":[{i}]}},' for i in range(256)]
               + ['  {"id":256,"bytes":[97,98]},', '  {"id":257,"bytes":[97,98,99]}'])
VOCAB_TEXT = "[\n" + "\n".join(VOCAB_LINES) + "\n]"


def vocab_with(line, text):
    """VOCAB_TEXT with its line number `line` (1-based) replaced by text."""
    lines = VOCAB_TEXT.split("\n")
    lines[line - 1] = text
    return "\n".join(lines)


def test_records_in_the_documented_format_load(tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "data/merges_record.json").write_text(MERGES_TEXT + "\n")
    (tmp_path / "data/vocab_list.json").write_text(VOCAB_TEXT)
    tok = Tokenizer.load(tmp_path)
    assert tok.merges == [((97, 98), 256), ((256, 99), 257)]
    assert tok.encode("abc abd") == [257, 32, 256, 100]
    assert tok.vocab_size == 258


M = "merges_record.json"
V = "vocab_list.json"
M_FOUND = "expected an entry " + MERGE_ENTRY + ", found "
V_FOUND = "expected an entry " + VOCAB_ENTRY + ", found "


@pytest.mark.parametrize("name, text, message", [
    (M, None, "no such file: {M}"),
    (V, None, "no such file: {V}"),
    (M, "", "{M}, line 1: expected '[', found an empty file"),
    (M, '{"pair":[97,98],"id":256}', "{M}, line 1: expected '[', found '{\"pair\":[97,98],\"id\":256}'"),
    (M, "[\n", "{M}, line 2: expected an entry " + MERGE_ENTRY + ", found ''"),
    (M, "[", "{M}, line 1: expected an entry or ']', found the end of the file"),
    (M, '[\n  {"pair":[97],"id":256}\n]', "{M}, line 2: " + M_FOUND + "'{\"pair\":[97],\"id\":256}'"),
    (M, '[\n  {"pair":[97,98],"id":4294967295}\n]',
     "{M}, line 2: " + M_FOUND + "'{\"pair\":[97,98],\"id\":4294967295}'"),
    (M, '[\n  {"pair":[97,98.0],"id":256}\n]',
     "{M}, line 2: " + M_FOUND + "'{\"pair\":[97,98.0],\"id\":256}'"),
    (M, '[\n  {"pair":[97,98],"id":256,"x":1}\n]',
     "{M}, line 2: " + M_FOUND + "'{\"pair\":[97,98],\"id\":256,\"x\":1}'"),
    (M, '[\n  {"pair":[97,98],"id":256}\n  {"pair":[256,99],"id":257}\n]',
     "{M}, line 2: expected a comma after the entry"),
    (M, '[\n  {"pair":[97,98],"id":256},\n]', "{M}, line 2: expected no comma after the last entry"),
    (M, MERGES_TEXT + "\n]", "{M}, line 5: expected nothing after ']', found ']'"),
    (M, '[\n  {"pair":[97,98],"id":256}, \xe9\n]',
     "{M}, line 2: expected ASCII text, found the byte 0xc3"),
    (M, '[\n  {"pair":[97,99],"id":256}\n]',
     "{M}, line 2: expected the bytes of id 256 in {V} to be those of ids 97 and 99 joined, "
     "found [97, 98]"),
    (M, '[\n  {"pair":[97,98],"id":256},\n  {"pair":[256,99],"id":300}\n]',
     "{M}, line 3: id 300 is not in {V}"),
    (V, vocab_with(3, '  {"id":0,"bytes":[0]},'), "{V}, line 3: expected an id above 0, found 0"),
    (V, vocab_with(7, '  {"id":5,"bytes":[6]},'),
     "{V}, line 7: expected id 5 to stand for the single byte [5], found [6]"),
    (V, vocab_with(9, '  {"id":7,"bytes":[]},'), "{V}, line 9: " + V_FOUND + "'{\"id\":7,\"bytes\":[]},'"),
    (V, vocab_with(9, '  {"id":7,"bytes":[256]},'),
     "{V}, line 9: " + V_FOUND + "'{\"id\":7,\"bytes\":[256]},'"),
    (V, vocab_with(9, '  {"id":7.5,"bytes":[7]},'),
     "{V}, line 9: " + V_FOUND + "'{\"id\":7.5,\"bytes\":[7]},'"),
    (V, "\n".join(line for n, line in enumerate(VOCAB_TEXT.split("\n"), 1) if n != 9),
     "{V}: expected an entry for every id 0 to 255, found none for 7"),
])
def test_malformed_records_name_the_file_and_line(tmp_path, name, text, message):
    data = tmp_path / "data"
    data.mkdir()
    (data / M).write_text(MERGES_TEXT)
    (data / V).write_text(VOCAB_TEXT)
    if text is None:
        (data / name).unlink()
    else:
        (data / name).write_bytes(text.encode("utf-8"))
    with pytest.raises(RecordError) as info:
        Tokenizer.load(tmp_path)
    assert str(info.value) == message.replace("{M}", str(data / M)).replace("{V}", str(data / V))
