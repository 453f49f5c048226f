"""ovilex._native.read_records against the pure-Python reader it replaces
(records_reference.py): for valid record files the same merges and
vocabulary, and for damaged ones the same exception with the same message."""

import os
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

native = pytest.importorskip("ovilex._native")

import records_reference as reference  # noqa: E402 (imports ovilex, which needs the module)
import reference as ref  # noqa: E402

# check() rewrites its files on every call, so examples may share them.
SHARED_FILES = settings(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def outcome(read, merges_path, vocab_path):
    """What a reader makes of the two files: its result, or the type and
    message of the exception it raised."""
    try:
        return read(str(merges_path), str(vocab_path))
    except Exception as e:
        return type(e), str(e)


def random_merges(rng, count):
    """count merges over earlier ids; new ids consecutive from 256, as
    training makes them, or ascending with gaps up to 65535."""
    if rng.random() < 0.5:
        new_ids = range(256, 256 + count)
    else:
        new_ids = sorted(rng.sample(range(256, 0x10000), count))
    ids = list(range(256))
    merges = []
    for new in new_ids:
        merges.append(((rng.choice(ids), rng.choice(ids)), new))
        ids.append(new)
    return merges


@pytest.fixture
def check(tmp_path):
    """check(merges_text, vocab_text): writes the two files, asserts both
    readers agree, and returns what they gave."""
    merges_path = tmp_path / "merges_record.json"
    vocab_path = tmp_path / "vocab_list.json"

    def run(merges_text, vocab_text):
        merges_path.write_bytes(merges_text)
        vocab_path.write_bytes(vocab_text)
        expected = outcome(reference.read_records, merges_path, vocab_path)
        assert outcome(native.read_records, merges_path, vocab_path) == expected
        return expected

    return run


class TestValidFiles:
    @pytest.mark.parametrize("seed", range(20))
    def test_gives_what_training_wrote(self, check, seed):
        rng = random.Random(seed)
        merges = random_merges(rng, rng.choice([0, 1, 5, 300]))
        got_merges, got_vocab = check(*ref.record_texts(merges))
        assert got_merges == merges
        assert got_vocab == ref.vocab_from_merges(merges)
        assert list(got_vocab) == sorted(got_vocab)
        assert all(type(x) is int for (left, right), new in got_merges for x in (left, right, new))
        assert all(type(k) is int and type(v) is bytes for k, v in got_vocab.items())

    def test_full_size(self, check):
        merges = random_merges(random.Random(0), 7744)
        assert check(*ref.record_texts(merges))[0] == merges

    @pytest.mark.parametrize("layout", [
        lambda t: t + b"\n",
        lambda t: t.replace(b"\n", b"\r\n"),
        lambda t: t.replace(b"\n", b" \t\x0b\x0c\x1c\x1d\x1e\x1f\n  ") + b"\n\n \t\n",
        lambda t: t.replace(b"  {", b"{").replace(b"[\n", b"  [  \n"),
        lambda t: t.replace(b",", b" , ").replace(b":", b" :\t").replace(b"{", b"{\r"),
    ])
    def test_layout_allowed_around_entries(self, check, layout):
        merges = random_merges(random.Random(1), 40)
        merges_text, vocab_text = ref.record_texts(merges)
        assert check(layout(merges_text), layout(vocab_text))[0] == merges


# Bytes and snippets that steer a random edit towards the reader's decisions.
ALPHABET = b'0123456789[]{},:"-+.eE \t\r\n\x0b\x0c\x1c\\u/pairdbytesINaf\x00\x7f\xc3\xa9'
SNIPPETS = [b'"id":1,', b'"pair":[1,2],', b'\\u0069', b'-0', b'1e2', b'.5', b'\n', b',', b']',
            b'{}', b'true', b'NaN', b'-Infinity', b'"', b'\\', b'"\\ud800"', b'99999', b"'",
            b'"x":[[{}]],', b"\n]\n", b"x" * 70]


def mutate(rng, text):
    lines = text.split(b"\n")
    at = rng.randrange(len(text) + 1)
    line = rng.randrange(len(lines))
    match rng.randrange(7):
        case 0:
            return text[:at] + bytes([rng.choice(ALPHABET)]) + text[at + 1:]
        case 1:
            return text[:at] + rng.choice(SNIPPETS) + text[at:]
        case 2:
            return text[:at] + text[at + rng.randrange(1, 12):]
        case 3:
            return b"\n".join(lines[:line] + lines[line + 1:])
        case 4:
            return b"\n".join(lines[:line + 1] + lines[line:])
        case 5:
            other = rng.randrange(len(lines))
            lines[line], lines[other] = lines[other], lines[line]
            return b"\n".join(lines)
        case _:
            return text[:at]


class TestDamagedFiles:
    @pytest.mark.parametrize("seed", range(40))
    def test_random_edits(self, check, seed):
        rng = random.Random(seed)
        for _ in range(60):
            merges_text, vocab_text = ref.record_texts(random_merges(rng, rng.randrange(0, 12)))
            for _ in range(rng.randrange(1, 4)):
                if rng.random() < 0.5:
                    merges_text = mutate(rng, merges_text)
                else:
                    vocab_text = mutate(rng, vocab_text)
            check(merges_text, vocab_text)


ONE_MERGE = [((97, 98), 256)]
MERGES_TEXT, VOCAB_TEXT = ref.record_texts(ONE_MERGE)
# Lines json.loads reads as the merge, as something else, or not at all.
MERGE_LINES = [
    '{ "pair" : [ 97 , 98 ] , "id" : 256 }', '{"id":256,"pair":[97,98]}', '{"pair":[97,98],"id":-0}',
    '{"\\u0069d":256,"p\\u0061ir":[97,98]}', '{"pair":[97,98],"id":1,"id":256}',
    '{"pair":[97,98],"id":256,"pair":[97,99]}', '{"pair":[97,98],"id":"x","id":256}',
    '{"pair":[97,98],"id":NaN,"id":256}', '{"pair":[-Infinity,{"a":[]}],"pair":[97,98],"id":256}',
    '{"pair":[97,98],"id":256.0}', '{"pair":[97,98],"id":2.56e2}', '{"pair":[97,98],"id":true}',
    '{"pair":[97,98],"id":null}', '{"pair":[97,98,99],"id":256}', '{"pair":[97],"id":256}',
    '{"pair":[97,98],"id":0256}', '{"pair":[97,98],"id":256,}', '{"pair":[97,98,],"id":256}',
    '{"pair":[97,98],"id":256}}', '[{"pair":[97,98],"id":256}]', '{"pair":[97,98],"id":-1}',
    '{"pair":[97,98],"id":1' + "0" * 4300 + ',"id":256}',
    '{"pair":[97,98],"id":1' + "0" * 4299 + ',"id":256}',
    '{"pair":[97,98],"id":1' + "0" * 5000 + '.5,"id":256}',
    '{"pair":[97,98],"id":' + "[" * 500 + "]" * 500 + ',"id":256}',
    '{"pair":[97,98],"id":256,"x":"\\ud800\\udc00\\n\\/\\"\\\\"}',
    '{"pair":[97,98],"id":"\\ud800\\u12","id":256}', '{"pair":[97,98],"id":"a\tb","id":256}',
    '{"pair":[97,98],"id":"a\x7fb","id":256}', '{"pair":[97,98],"id":"\\x41","id":256}',
    '{"pair":[97,98],"id":"\\/\\b\\f\\n\\r\\t\\"\\\\\\u00e9\\uDBFF","id":256}',
    '{"pair":[97,98],"id":[1.,2],"id":256}', '{"pair":[97,98],"id":[1e,1E+],"id":256}',
    '{"pair":[97,98],"id":[1,],"id":256}', '{"pair":[97,98],"id":{"a":1,},"id":256}',
    '{"pair":[97,98],"id":{"a" :1,"b"\t:[ ],"":{ }},"id":256}',
    '{"pair":[97,98],"id":256\x0b}', '{"pair":[97,98],"id":256\x0c}', "{'pair':[97,98],'id':256}",
    '{"pair":[97,98],"id":256},,', '{"pair":[97,98],"id":1.,"id":256}', '{"pair":[97,98],"id":1e}',
    '{"pair":[97,98], "id":256, "\\u0000":0, "long":"' + "\\\\'\"" * 20 + '"}',
    '{"pair":[97,98],\r"id":256}\t', '\x0b\x1f{"pair":[97,98],"id":256}\x1c\x0c',
    '{"pair":[-0,1],"id":-1,"pair":[97,98],"id":256}', '{"pair":[97,98],"id":25.6e1}',
    '{"pair":[97,98],"id":065}', '{"pair":[97,98],"id":65536}',
    '{"pair":[97,98],"id":"\t","id":256}',
]

# Entries in the exact form training writes, and near misses of it.
VOCAB_LINES = [
    '{"id":256,"bytes":[97,98]}', '{"id":256,"bytes":[97,98,]}', '{"id":256,"bytes":[97,098]}',
    '{"id":256,"bytes":[97,0]}', '{"id":256,"bytes":[0,0,0]}', '{"id":256,"bytes":[00]}',
    '{"id":256,"bytes":[]}', '{"id":256,"bytes":[255,256]}', '{"id":256,"bytes":[97,1000]}',
    '{"id":256,"bytes":[97,98]}}', '{"id":256,"bytes":[97,98]', '{"id":256,"bytes":[97,98] }',
    '{"id":256,"bytes":[97 ,98]}', '{"id":256,"bytes":[,97]}', '{"id":0256,"bytes":[97,98]}',
    '{"id":65536,"bytes":[97,98]}', '{"id":65535,"bytes":[97,98]}', '{"id":256,"bytes":[9,98]}',
]


class TestJsonLines:
    @pytest.mark.parametrize("line", MERGE_LINES)
    @pytest.mark.parametrize("comma", ["", ","])
    def test_merge_line(self, check, line, comma):
        check(f"[\n  {line}{comma}\n]".encode("ascii"), VOCAB_TEXT)

    @pytest.mark.parametrize("line", MERGE_LINES)
    def test_vocab_line(self, check, line):
        """The same variants as vocabulary entries (with "pair" for "bytes")."""
        line = line.replace("pair", "bytes").replace("p\\u0061ir", "byt\\u0065s")
        check(b"[\n]", VOCAB_TEXT[:-2] + f",\n  {line}\n]".encode("ascii"))

    @pytest.mark.parametrize("line", VOCAB_LINES)
    def test_vocab_line_as_written(self, check, line):
        check(MERGES_TEXT, VOCAB_TEXT.replace(b'{"id":256,"bytes":[97,98]}', line.encode()))

    @settings(SHARED_FILES, max_examples=400)
    @given(st.text(ALPHABET.decode("latin-1"), max_size=40))
    def test_any_line(self, check, line):
        text = line.encode("latin-1")
        check(b"[\n  " + text + b"\n]", VOCAB_TEXT)
        check(b"[\n]", VOCAB_TEXT[:-2] + b",\n" + text + b"\n]")


# JSON as json.loads reads it: objects may repeat keys, so they are built as
# text, with whitespace anywhere it may stand.
SPACE = st.sampled_from(["", "", " ", "\t", "\r "])
KEY = st.sampled_from(['"pair"', '"id"', '"bytes"', '"\\u0069d"', '"byt\\u0065s"', '"x"', '"Id"'])
ATOM = st.integers(0, 300).map(str) | st.sampled_from(
    ["-0", "-1", "255", "256", "65535", "65536", "99999999999", "1.0", "1e2", "-0.0", "NaN",
     "Infinity", "true", "false", "null", '"1"', '"\\/\\b\\f\\n\\r\\t\\"\\\\"', '"\\ud800"',
     # and what json.loads refuses
     "1.", "1e", "1e+", "01", "-", "+1", ".5", "nan", '"\\x"', '"\\u12"', '"\t"', "[1,]"])


def _join(parts, open_, close):
    return open_ + ",".join(parts) + close


def _member(t):
    return "".join(t)


VALUE = st.recursive(ATOM, lambda inner: (
    st.lists(st.tuples(SPACE, inner, SPACE).map(_member), max_size=4)
    .map(lambda xs: _join(xs, "[", "]"))
    | st.lists(st.tuples(SPACE, KEY, SPACE, st.just(":"), SPACE, inner, SPACE).map(_member),
               max_size=3).map(lambda xs: _join(xs, "{", "}"))), max_leaves=10)
ENTRY = st.lists(st.tuples(SPACE, KEY, SPACE, st.just(":"), SPACE, VALUE, SPACE).map(_member),
                 min_size=1, max_size=4).map(lambda xs: _join(xs, "{", "}"))


class TestJsonEntries:
    @settings(SHARED_FILES, max_examples=500)
    @given(ENTRY, st.sampled_from(["", ","]))
    def test_entry(self, check, entry, comma):
        line = (entry + comma).encode("ascii")
        check(b"[\n" + line + b"\n]", VOCAB_TEXT)
        check(b"[\n]", VOCAB_TEXT[:-2] + b",\n" + line + b"\n]")


class TestFiles:
    @pytest.mark.parametrize("damage", ["missing", "directory", "under_a_file", "symlink_loop",
                                        "dangling_symlink", "unreadable", "null_byte"])
    @pytest.mark.parametrize("which", [0, 1])
    def test_unreadable_file(self, tmp_path, damage, which):
        if damage == "unreadable" and os.geteuid() == 0:
            pytest.skip("root reads any file")
        paths = [tmp_path / "merges_record.json", tmp_path / "vocab_list.json"]
        for path, text in zip(paths, ref.record_texts(ONE_MERGE)):
            path.write_bytes(text)
        path = paths[which]
        match damage:
            case "missing":
                path.unlink()
            case "directory":
                path.unlink()
                path.mkdir()
            case "under_a_file":
                paths[which] = path / "inside"
            case "symlink_loop":
                path.unlink()
                path.symlink_to(path.name)
            case "dangling_symlink":
                path.unlink()
                path.symlink_to("nowhere")
            case "unreadable":
                path.chmod(0)
            case "null_byte":
                paths[which] = str(path) + "\0"
        expected = outcome(reference.read_records, *paths)
        assert isinstance(expected[0], type)
        assert outcome(native.read_records, *paths) == expected

    @pytest.mark.parametrize("name", ["d\u00e9j\u00e0 vu", os.fsdecode(b"\xff\xfe")])
    def test_path_shown_as_given(self, tmp_path, name):
        """Messages hold the path as Python would show it, also one that is
        not UTF-8 (an undecodable byte stays a surrogate escape)."""
        folder = tmp_path / name
        folder.mkdir()
        paths = [folder / "merges_record.json", folder / "vocab_list.json"]
        paths[0].write_bytes(b"")
        expected = outcome(reference.read_records, *paths)
        assert name in expected[1]
        assert outcome(native.read_records, *paths) == expected
