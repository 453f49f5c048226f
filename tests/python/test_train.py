"""encode_train end to end: the merge list against a naive trainer, the two
record files byte for byte, the merge cap on real text, determinism across
chunk orders, processes and pool sizes, write failures, argument errors, and
the interpreter lock held for the whole call."""

import json
import os
import pathlib
import random
import re
import subprocess
import sys
import sysconfig
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ovilex
import reference as ref

MERGES = pathlib.Path("data/merges_record.json")
VOCAB = pathlib.Path("data/vocab_list.json")
BUILD_DIR = os.path.dirname(_ovilex.__file__)

# Examples share the test's scratch directory; every call rewrites both files.
EXAMPLES = settings(max_examples=120, deadline=None)

ALPHABETS = ["a", "ab", "abc", "aé", "a€𝄞", "\x00\x7f\x80ÿ", "xy\u0800"]


@st.composite
def corpora(draw):
    """Chunks drawn from a small pool of words over a tiny alphabet, so that
    chunks repeat, pairs tie and empty chunks turn up."""
    alphabet = draw(st.sampled_from(ALPHABETS))
    words = draw(st.lists(st.text(alphabet, max_size=12), min_size=1, max_size=10))
    return draw(st.lists(st.sampled_from(words), max_size=60))


def random_corpus(seed, chunks=2000, pool=300, letters="abcdeé"):
    rng = random.Random(seed)
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(0, 10)))
             for _ in range(pool)]
    # Skewed draws: a few words are frequent, most are rare.
    return [words[min(int(rng.expovariate(8 / pool)), pool - 1)] for _ in range(chunks)]


def listing(path):
    return sorted(p.name for p in pathlib.Path(path).iterdir())


@pytest.fixture(scope="module")
def stdlib_words():
    """The words and punctuation runs of the standard library's own sources."""
    stdlib = pathlib.Path(sysconfig.get_path("stdlib"))
    words = []
    for source in sorted(stdlib.glob("*.py")):
        words += re.findall(r"\w+|[^\w\s]+", source.read_text(encoding="utf-8", errors="replace"))
    assert len(words) > 300_000, "too little text in " + str(stdlib)
    return words


def train_checked(chunks):
    """encode_train's merges, checked against the naive trainer, and the
    record files it wrote against the texts of those merges."""
    merges = _ovilex.encode_train(chunks)
    assert merges == ref.train(chunks)
    assert ref.records() == ref.record_texts(merges)
    return merges


class TestAgainstReference:
    @EXAMPLES
    @given(chunks=corpora())
    def test_tiny_alphabets(self, chunks):
        train_checked(chunks)

    @pytest.mark.parametrize("seed", range(6))
    def test_moderate_corpus(self, seed):
        train_checked(random_corpus(seed))

    @pytest.mark.parametrize("chunks, expected", [
        ([], []),
        (["", "a", "", "é"], []),
        (["aaa", "aaa"], [((97, 97), 256)]),
        (["abab"] * 3, [((97, 98), 256), ((256, 256), 257)]),
        (["ab", "abc", "abc"], [((97, 98), 256)]),
        (["\x01\x09"] * 3 + ["\x02\x00"] * 3, [((2, 0), 256), ((1, 9), 257)]),
        (["\x02\x00"] * 3 + ["\x02\x05"] * 3, [((2, 5), 256), ((2, 0), 257)]),
        (["ab"] * 3, [((97, 98), 256)]),
        (["ab"] * 2, []),
        (["é"] * 3, [((195, 169), 256)]),
        (("a", "b") * 3, []),
    ])
    def test_golden(self, chunks, expected):
        assert train_checked(chunks) == expected


class TestResult:
    @EXAMPLES
    @given(chunks=corpora())
    def test_shape_and_ids(self, chunks):
        merges = _ovilex.encode_train(chunks)
        assert type(merges) is list
        for k, merge in enumerate(merges):
            assert type(merge) is tuple and len(merge) == 2
            pair, new = merge
            assert type(pair) is tuple and len(pair) == 2
            assert all(type(v) is int for v in (*pair, new))
            assert new == 256 + k
            assert pair[0] < new and pair[1] < new

    @EXAMPLES
    @given(chunks=corpora())
    def test_encode_and_decode_accept_it(self, chunks):
        merges = _ovilex.encode_train(chunks)
        ids = _ovilex.encode(chunks, merges)
        assert ids == ref.encode(chunks, merges)
        vocab = {entry["id"]: bytes(entry["bytes"]) for entry in json.loads(VOCAB.read_bytes())}
        assert vocab == ref.vocab_from_merges(merges)
        assert _ovilex.decode_string(ids, vocab) == "".join(chunks)

    def test_record_order_is_result_order(self):
        merges = _ovilex.encode_train(random_corpus(1))
        assert len(merges) > 10
        entries = json.loads(MERGES.read_bytes())
        assert [((e["pair"][0], e["pair"][1]), e["id"]) for e in entries] == merges


class TestRecordFiles:
    def test_no_merges(self):
        assert _ovilex.encode_train(["ab", "ab"]) == []
        merges, vocab = ref.records()
        assert merges == b"[\n]"
        lines = [b'  {"id":%d,"bytes":[%d]}' % (b, b) for b in range(256)]
        assert vocab == b"[\n" + b",\n".join(lines) + b"\n]"

    def test_one_merge(self):
        assert _ovilex.encode_train(["aaa", "aaa"]) == [((97, 97), 256)]
        merges, vocab = ref.records()
        assert merges == b'[\n  {"pair":[97,97],"id":256}\n]'
        lines = vocab.split(b"\n")
        assert len(lines) == 259
        assert lines[255:] == [b'  {"id":254,"bytes":[254]},', b'  {"id":255,"bytes":[255]},',
                               b'  {"id":256,"bytes":[97,97]}', b"]"]

    def test_existing_files_replaced_whole(self, tmp_path):
        (tmp_path / "data").mkdir()
        MERGES.write_bytes(b"x" * 100_000)
        VOCAB.write_bytes(b"y" * 100_000)
        (tmp_path / "data" / "other.txt").write_bytes(b"keep")
        merges = _ovilex.encode_train(["abab"] * 3)
        assert ref.records() == ref.record_texts(merges)
        assert (tmp_path / "data" / "other.txt").read_bytes() == b"keep"
        assert listing("data") == ["merges_record.json", "other.txt", "vocab_list.json"]

    def test_missing_directory_created_nothing_else_left(self, tmp_path):
        _ovilex.encode_train(["abc"] * 4)
        assert listing(tmp_path) == ["data"]
        assert listing("data") == ["merges_record.json", "vocab_list.json"]

    def test_existing_files_keep_their_permissions(self, tmp_path):
        (tmp_path / "data").mkdir()
        MERGES.write_bytes(b"old")
        VOCAB.write_bytes(b"old")
        MERGES.chmod(0o640)
        VOCAB.chmod(0o604)
        merges = _ovilex.encode_train(["abab"] * 3)
        assert ref.records() == ref.record_texts(merges)
        assert (MERGES.stat().st_mode & 0o777, VOCAB.stat().st_mode & 0o777) == (0o640, 0o604)

    def test_symbolic_links_are_written_through(self, tmp_path):
        elsewhere = tmp_path / "kept"
        elsewhere.mkdir()
        (elsewhere / "m.json").write_bytes(b"old")
        (elsewhere / "v.json").write_bytes(b"old")
        (tmp_path / "data").mkdir()
        MERGES.symlink_to(elsewhere / "m.json")
        VOCAB.symlink_to(elsewhere / "v.json")
        merges = _ovilex.encode_train(["abab"] * 3)
        assert MERGES.is_symlink() and VOCAB.is_symlink()
        assert ref.records() == ref.record_texts(merges)
        assert listing(elsewhere) == ["m.json", "v.json"]


class TestCap:
    def test_exactly_7744_merges_on_real_text(self, stdlib_words):
        merges = _ovilex.encode_train(stdlib_words)
        assert len(merges) == 7744
        assert [new for _, new in merges] == list(range(256, 8000))
        assert ref.records() == ref.record_texts(merges)
        last = ",".join(map(str, ref.vocab_from_merges(merges)[7999]))
        assert VOCAB.read_bytes().endswith(b'\n  {"id":7999,"bytes":[%s]}\n]' % last.encode())


# Trains on the chunks in a JSON file, in a process of its own; prints the result.
TRAIN_SCRIPT = """
import json, sys
import _ovilex
with open(sys.argv[1], encoding="utf-8") as f:
    chunks = json.load(f)
print(json.dumps(_ovilex.encode_train(chunks)))
"""


def train_in_process(workdir, corpus_file, **env):
    workdir.mkdir()
    environ = dict(os.environ, PYTHONPATH=BUILD_DIR, **env)
    done = subprocess.run([sys.executable, "-c", TRAIN_SCRIPT, str(corpus_file)], cwd=workdir,
                          env=environ, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    merges = [((l, r), n) for (l, r), n in json.loads(done.stdout)]
    return merges, ((workdir / MERGES).read_bytes(), (workdir / VOCAB).read_bytes())


class TestDeterminism:
    @EXAMPLES
    @given(data=st.data())
    def test_chunk_order_does_not_matter(self, data):
        chunks = data.draw(corpora())
        first = _ovilex.encode_train(chunks)
        first_records = ref.records()
        assert _ovilex.encode_train(data.draw(st.permutations(chunks))) == first
        assert ref.records() == first_records

    def test_shuffled_large_corpus(self, stdlib_words):
        words = stdlib_words[:200_000]
        first = _ovilex.encode_train(words)
        shuffled = list(words)
        random.Random(3).shuffle(shuffled)
        assert _ovilex.encode_train(shuffled) == first

    def test_processes_and_pool_sizes_agree(self, stdlib_words, tmp_path):
        # Many distinct words, so that the pair count is divided among workers.
        rng = random.Random(9)
        chunks = stdlib_words[:100_000] + random_corpus(4, chunks=60_000, pool=40_000,
                                                        letters="abcdefgé€")
        rng.shuffle(chunks)
        corpus = tmp_path / "corpus.json"
        corpus.write_text(json.dumps(chunks), encoding="utf-8")
        runs = [train_in_process(tmp_path / f"run{i}", corpus, PYTHONHASHSEED=seed,
                                 OVILEX_NUM_THREADS=threads)
                for i, (seed, threads) in enumerate([("0", "1"), ("12345", "64"), ("999", "2")])]
        here = _ovilex.encode_train(chunks)
        assert len(here) > 1000
        for merges, files in runs:
            assert merges == here
            assert files == ref.records()

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    def test_forked_child_trains_with_workers_of_its_own(self, stdlib_words):
        # The child of fork() has none of the parent's worker threads; waiting
        # for them would hang it.
        chunks = stdlib_words[:50_000]
        expected = _ovilex.encode_train(chunks)
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report and leave without running pytest's exit code
            os.close(read_end)
            ok = _ovilex.encode_train(chunks) == expected
            os.write(write_end, b"same" if ok else b"different")
            os._exit(0)
        os.close(write_end)
        deadline = time.monotonic() + 60
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                pytest.fail("the forked child did not finish training")
            time.sleep(0.05)
        with os.fdopen(read_end, "rb") as report:
            assert report.read() == b"same"


def assert_write_error(info, path, reason):
    error = info.value
    assert type(error) is OSError
    assert error.args == (f"failed to write {path}: {reason}",)
    assert (error.errno, error.strerror, error.filename) == (None, None, None)


class TestWriteFailures:
    def test_plain_file_named_data(self, tmp_path):
        pathlib.Path("data").write_bytes(b"not a directory")
        with pytest.raises(OSError) as info:
            _ovilex.encode_train(["abab"] * 3)
        assert_write_error(info, "data/merges_record.json", "File exists (os error 17)")
        assert listing(tmp_path) == ["data"]
        assert pathlib.Path("data").read_bytes() == b"not a directory"

    def test_directory_at_merges_path_touches_nothing(self):
        _ovilex.encode_train(["abab"] * 3)
        _, old_vocab = ref.records()
        MERGES.unlink()
        (MERGES / "inside").mkdir(parents=True)
        with pytest.raises(OSError) as info:
            _ovilex.encode_train(["xyz"] * 5)
        assert_write_error(info, "data/merges_record.json", "Is a directory (os error 21)")
        assert VOCAB.read_bytes() == old_vocab
        assert listing("data") == ["merges_record.json", "vocab_list.json"]
        assert listing(MERGES) == ["inside"]

    def test_directory_at_vocab_path_keeps_new_merges(self):
        _ovilex.encode_train(["abab"] * 3)
        VOCAB.unlink()
        VOCAB.mkdir()
        chunks = random_corpus(2)
        with pytest.raises(OSError) as info:
            _ovilex.encode_train(chunks)
        assert_write_error(info, "data/vocab_list.json", "Is a directory (os error 21)")
        assert MERGES.read_bytes() == ref.merges_record_text(ref.train(chunks))
        assert listing("data") == ["merges_record.json", "vocab_list.json"]
        assert listing(VOCAB) == []

    @pytest.mark.skipif(os.geteuid() == 0, reason="root may write a read-only file")
    def test_read_only_merges_file(self, tmp_path):
        (tmp_path / "data").mkdir()
        MERGES.write_bytes(b"old")
        MERGES.chmod(0o444)
        with pytest.raises(OSError) as info:
            _ovilex.encode_train(["abab"] * 3)
        assert_write_error(info, "data/merges_record.json", "Permission denied (os error 13)")
        assert MERGES.read_bytes() == b"old"
        assert listing("data") == ["merges_record.json"]

    # A write that fails part way, under a file size limit, in a process of
    # its own: the previous file stays whole and no temporary file is left.
    LIMITED_SCRIPT = """
import json, resource, signal, sys
import _ovilex
chunks = json.loads(sys.argv[2])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[1]), hard))
try:
    _ovilex.encode_train(chunks)
except OSError as e:
    print(json.dumps([type(e).__name__, e.args]))
"""

    @pytest.mark.parametrize("limit, failing", [(1000, "data/vocab_list.json"),
                                                (40, "data/merges_record.json")])
    def test_failure_part_way_keeps_previous_file(self, limit, failing):
        _ovilex.encode_train(["abab"] * 3)
        old_merges, old_vocab = ref.records()
        chunks = ["hello", "help", "hell"] * 3
        new_merges = ref.merges_record_text(ref.train(chunks))
        assert 40 < len(new_merges) < 1000 < len(old_vocab)
        done = subprocess.run([sys.executable, "-c", self.LIMITED_SCRIPT, str(limit),
                               json.dumps(chunks)], env=dict(os.environ, PYTHONPATH=BUILD_DIR),
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        message = f"failed to write {failing}: File too large (os error 27)"
        assert json.loads(done.stdout) == ["OSError", [message]]
        expected_merges = new_merges if failing == "data/vocab_list.json" else old_merges
        assert ref.records() == (expected_merges, old_vocab)
        assert listing("data") == ["merges_record.json", "vocab_list.json"]


def encode_error(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        return str(e)


class TestArgumentErrors:
    @pytest.mark.parametrize("chunks, kind, message", [
        ("abc", TypeError, "argument 'chunks': Can't extract `str` to `Vec`"),
        ({"a"}, TypeError, "argument 'chunks': 'set' object cannot be cast as 'Sequence'"),
        (["ab", 1], TypeError, "argument 'chunks': 'int' object cannot be cast as 'str'"),
        (["ab", b"ab"], TypeError, "argument 'chunks': 'bytes' object cannot be cast as 'str'"),
        (["ab", "\ud800"], UnicodeEncodeError, encode_error("\ud800")),
        (["ab", "x\udfff"], UnicodeEncodeError, encode_error("x\udfff")),
    ])
    def test_nothing_written(self, chunks, kind, message, tmp_path):
        with pytest.raises(kind) as info:
            _ovilex.encode_train(chunks)
        assert type(info.value) is kind
        assert str(info.value) == message
        assert listing(tmp_path) == []
        # Nor are files of an earlier run touched.
        _ovilex.encode_train(["abab"] * 3)
        before = ref.records()
        stamps = [p.stat().st_mtime_ns for p in (MERGES, VOCAB)]
        with pytest.raises(kind):
            _ovilex.encode_train(chunks)
        assert ref.records() == before
        assert [p.stat().st_mtime_ns for p in (MERGES, VOCAB)] == stamps
        assert listing("data") == ["merges_record.json", "vocab_list.json"]
