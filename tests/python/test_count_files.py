"""Count files through the package and the command line: training from
count files gives the records of training on the text, counts add up and
merge, and bad files fail with one line and no partial output."""

import collections
import pathlib
import random
import subprocess
import sys

import pytest

from ovilex import (CountFileError, OvilexError, Tokenizer, WordCounts, count_files,
                    merge_count_files, split)
from reference import records

WORDS = ["the", " quick", " brown", " fox", "'s", " 42", "\n", "  ", "é", " Москва",
         "日本", "👍🏽", "x'", "ll", "\r\n", " over", " lazy", " dog"]


def text(seed, size=4000):
    rng = random.Random(seed)
    return "".join(rng.choice(WORDS) for _ in range(size // 4))


def chunks(path):
    return split(path.read_bytes().decode())


@pytest.fixture
def texts(tmp_path):
    """Three text files in tmp_path, and their names."""
    names = ["a.txt", "b.txt", "c.txt"]
    for seed, name in enumerate(names):
        (tmp_path / name).write_text(text(seed), encoding="utf-8")
    return names


def ovilex(package_env, cwd, *args):
    return subprocess.run([sys.executable, "-m", "ovilex", *args], cwd=cwd, capture_output=True,
                          env=package_env, timeout=120)


def summary(done):
    """The summary table of a command that succeeded, as {row name: value}."""
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr == b""
    rows = (line.partition("  ") for line in done.stdout.decode().splitlines())
    return {name: value.strip() for name, _, value in rows}


def test_train_counts_gives_the_records_of_train_files(package_env, tmp_path, texts):
    summary(ovilex(package_env, tmp_path, "train", *texts, "--workdir", "files"))
    for name in texts:
        rows = summary(ovilex(package_env, tmp_path, "count", name, "--out", f"{name}.counts"))
        assert rows["count file"].startswith(f"{name}.counts (")
        assert rows["chunks"] == f"{len(chunks(tmp_path / name)):,}"
    per_file = [f"{name}.counts" for name in texts]
    merge_count_files(per_file, tmp_path / "all.counts")
    summary(ovilex(package_env, tmp_path, "count", *texts, "--out", "at-once.counts",
                   "--jobs", "2"))
    assert (tmp_path / "at-once.counts").read_bytes() == (tmp_path / "all.counts").read_bytes()

    for workdir, counts in [("per-file", per_file), ("merged", ["all.counts"])]:
        rows = summary(ovilex(package_env, tmp_path, "train", "--counts", *counts,
                              "--workdir", workdir))
        assert records(tmp_path / workdir) == records(tmp_path / "files")
        assert (rows["count files"], rows["round trip"]) == (str(len(counts)), "ok")
    tok = Tokenizer.train_count_files(per_file, workdir=tmp_path / "api")
    assert records(tmp_path / "api") == records(tmp_path / "files")
    assert tok.merges == Tokenizer.load(tmp_path / "files").merges != []


def test_counts_add_up_and_merge(tmp_path, texts):
    expected = collections.Counter(c for name in texts for c in chunks(tmp_path / name))
    counts = count_files(texts, "all.counts", threads=2)
    assert counts.to_dict() == expected
    for name in texts:
        count_files([name], f"{name}.counts")
    added = WordCounts()
    added.add_count_files([f"{name}.counts" for name in texts])
    assert added.to_dict() == expected
    assert (added.chunks, added.distinct) == (sum(expected.values()), len(expected))
    # Into one of the inputs, which is read before it is replaced.
    merge_count_files([f"{name}.counts" for name in texts], "a.txt.counts")
    assert (tmp_path / "a.txt.counts").read_bytes() == (tmp_path / "all.counts").read_bytes()


def test_64_bit_counts_survive(tmp_path):
    counts = WordCounts()
    counts.add("big", 2**40)
    counts.add("max", 2**64 - 2**41)
    counts.add("é", 3)
    counts.save(tmp_path / "x.counts")
    merge_count_files(["x.counts"], "y.counts")
    back = WordCounts()
    back.add_count_files(["y.counts"])
    assert back.to_dict() == {"big": 2**40, "max": 2**64 - 2**41, "é": 3}
    with pytest.raises(CountFileError) as e:
        merge_count_files(["x.counts", "y.counts"], "z.counts")
    assert str(e.value) == "y.counts: the counts add up to more than 2**64-1"
    assert not (tmp_path / "z.counts").exists()


SPOIL = {
    "truncated": lambda data: data[:-3],
    "version": lambda data: data[:8] + b"\x02" + data[9:],
    "magic": lambda data: data[:1] + b"ZIP" + data[4:],
}


def count_file(path, how=None):
    """A count file of 'hello world hello' made in the working directory
    and spoiled as SPOIL[how] says, or with no chunks when how is "empty"."""
    counts = WordCounts()
    counts.add_texts([] if how == "empty" else ["hello world hello"])
    counts.save(path)
    if how in SPOIL:
        path = pathlib.Path(path)
        path.write_bytes(SPOIL[how](path.read_bytes()))


BAD = {
    "truncated": "bad.counts: truncated count file",
    "version": "bad.counts: count file format version 2; this ovilex reads version 1",
    "magic": "bad.counts: not an ovilex count file",
}
READERS = {
    "add": lambda: WordCounts().add_count_files(["good.counts", "bad.counts"]),
    "merge": lambda: merge_count_files(["good.counts", "bad.counts"], "out.counts"),
    "train": lambda: Tokenizer.train_count_files(["good.counts", "bad.counts"], workdir="wd"),
}


# Each reader with one kind of damage: count_file_test.cpp has every kind.
@pytest.mark.parametrize("how, read", list(zip(BAD, READERS.values())), ids=list(READERS))
def test_bad_count_files_raise_count_file_error(tmp_path, how, read):
    count_file("good.counts")
    count_file("bad.counts", how)
    with pytest.raises(CountFileError) as e:
        read()
    assert (str(e.value), isinstance(e.value, OvilexError)) == (BAD[how], True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.counts", "good.counts"]


@pytest.mark.parametrize("call, error, message", [
    (lambda: WordCounts().add_count_files(["missing.counts"]), OSError,
     "cannot read missing.counts: No such file or directory"),
    (lambda: WordCounts().save("no/x.counts"), OSError,
     "cannot write no/x.counts: No such file or directory"),
    (lambda: count_files("a.txt", "x.counts"), TypeError,
     "paths must be an iterable of paths, not a single str"),
    (lambda: WordCounts().add_count_files("a.counts"), TypeError,
     "add_count_files() argument 'paths' must be an iterable of paths, not a single str"),
])
def test_api_errors(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


# (arguments, files to make: name -> bytes, None for a directory, or a
#  spoiling of a count file; the error line)
CLI_ERRORS = [
    (["count", "missing.txt", "--out", "x.counts"], {}, "no such file: missing.txt"),
    (["count", "bad.txt", "--out", "x.counts"], {"bad.txt": b"ok\n\xff"},
     "bad.txt: not UTF-8 text (line 2, byte 0xff)"),
    (["count", "a.txt", "--out", "no/x.counts"], {"a.txt": b"abc"},
     "cannot write no/x.counts: No such file or directory"),
    (["count", "a.txt", "--out", "d"], {"a.txt": b"abc", "d": None},
     "cannot write d: Is a directory"),
    (["train", "--counts", "missing.counts"], {}, "no such file: missing.counts"),
    (["train", "--counts", "a.txt"], {"a.txt": b"abc"}, "a.txt: not an ovilex count file"),
    (["train", "--counts", "d"], {"d": None}, "cannot read d: Is a directory"),
    (["train", "--counts", "e.counts"], {"e.counts": "empty"},
     "no text to train on: the count file holds no chunks"),
    (["train", "--counts", "e.counts", "e.counts"], {"e.counts": "empty"},
     "no text to train on: the 2 count files hold no chunks"),
]


@pytest.mark.parametrize("args, files, message", CLI_ERRORS)
def test_cli_errors_are_one_line_and_leave_no_output(package_env, tmp_path, args, files,
                                                     message):
    for name, content in files.items():
        if content is None:
            (tmp_path / name).mkdir()
        elif isinstance(content, str):
            count_file(name, content)
        else:
            (tmp_path / name).write_bytes(content)
    (tmp_path / "x.counts").write_bytes(b"old")
    before = sorted(p.name for p in tmp_path.iterdir())
    done = ovilex(package_env, tmp_path, *args)
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr.decode() == f"ovilex: error: {message}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "x.counts").read_bytes() == b"old"


@pytest.mark.parametrize("args, message", [
    (["train", "a.txt", "--counts", "a.counts"],
     "ovilex train: error: argument --counts: not allowed with argument FILE"),
    (["train", "--counts"], "ovilex train: error: argument --counts: expected at least one "
                            "argument"),
    (["count", "a.txt"], "ovilex count: error: the following arguments are required: --out"),
    (["count", "--out", "x.counts"], "ovilex count: error: the following arguments are required: "
                                     "FILE"),
])
def test_usage_errors(package_env, tmp_path, args, message):
    done = ovilex(package_env, tmp_path, *args)
    assert done.returncode == 2
    assert done.stderr.decode().splitlines()[-1] == message
