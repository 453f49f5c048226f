"""python -m ovilex: each command in a subprocess, on real files; the error
paths end with one line on standard error and a non-zero status."""

import json
import os
import subprocess
import sys

import pytest

import _ovilex
from ovilex import Tokenizer, split

TEXTS = {
    "a.txt": "The quick brown fox jumps over the lazy dog.\n" * 30,
    "b.txt": "Москва — столица. Ελλάδα, Αθήνα. 日本語のテキスト。 👍🏽\n" * 20,
}


def run(env, cwd, *args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "ovilex", *args], cwd=cwd, input=stdin,
                          capture_output=True, env=env, timeout=120)


@pytest.fixture
def ovilex(package_env, tmp_path):
    """Runs python -m ovilex ARG... in tmp_path with stdin bytes."""
    return lambda *args, stdin=b"": run(package_env, tmp_path, *args, stdin=stdin)


@pytest.fixture(scope="module")
def workdir(package_env, tmp_path_factory):
    """DIR/wd after `ovilex train a.txt b.txt --workdir wd --timings-json
    timings.json` in a directory DIR that holds TEXTS."""
    top = tmp_path_factory.mktemp("cli")
    for name, text in TEXTS.items():
        (top / name).write_text(text, encoding="utf-8")
    done = run(package_env, top, "train", *TEXTS, "--workdir", "wd",
               "--timings-json", "timings.json")
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr == b""
    return top / "wd"


def summary(stdout):
    """The summary table as {row name: value}."""
    rows = {}
    for line in stdout.decode().splitlines():
        name, _, value = line.partition("  ")
        rows[name] = value.strip()
    return rows


def test_train_writes_the_records_of_encode_train_and_a_summary(ovilex, workdir, tmp_path):
    chunks = [c for text in TEXTS.values() for c in split(text)]
    tok = Tokenizer.load(workdir)
    assert tok.merges == Tokenizer.train_chunks(chunks, workdir=tmp_path / "direct").merges
    assert (workdir / "data/merges_record.json").read_bytes() == \
        (tmp_path / "direct/data/merges_record.json").read_bytes()

    timings = json.loads((workdir.parent / "timings.json").read_text())
    assert timings["files"] == 2
    assert timings["chunks"] == len(chunks)
    assert timings["distinct_chunks"] == len(set(chunks))
    assert timings["merges"] == len(tok.merges)
    assert timings["bytes"] == sum(len(t.encode()) for t in TEXTS.values())
    assert timings["tokens"] == len(_ovilex.encode(chunks, tok.merges))
    assert timings["round_trip"] is True
    assert timings["threads"] == len(os.sched_getaffinity(0))


def test_train_summary_rows(ovilex, tmp_path):
    (tmp_path / "a.txt").write_text(TEXTS["a.txt"])
    done = ovilex("train", "a.txt")
    assert done.returncode == 0
    rows = summary(done.stdout)
    chunks = split(TEXTS["a.txt"])
    assert rows["files"] == "1"
    assert rows["chunks"] == f"{len(chunks):,}"
    assert rows["distinct chunks"] == f"{len(set(chunks)):,}"
    assert rows["round trip"] == "ok"
    assert rows["records"] == str(tmp_path / "data")
    assert (tmp_path / "data/vocab_list.json").is_file()


def test_train_without_files_uses_the_standard_library(ovilex, tmp_path):
    done = ovilex("train", "--workdir", "wd")
    assert done.returncode == 0, done.stderr.decode()
    rows = summary(done.stdout)
    assert rows["files"].endswith(f"(the standard library of Python {sys.version.split()[0]})")
    assert rows["merges"] == "7744 (ids 256 to 7999)"
    assert rows["round trip"] == "ok"


@pytest.mark.parametrize("text", [
    "", "Hello, wörld!\n", "Москва 日本語 👍🏽\r\n\t  x", "no line feed at the end",
])
def test_encode_then_decode_gives_the_text_back(ovilex, workdir, text):
    encoded = ovilex("encode", "--workdir", str(workdir), stdin=text.encode())
    assert encoded.returncode == 0
    ids = Tokenizer.load(workdir).encode(text)
    assert encoded.stdout.decode() == " ".join(map(str, ids)) + "\n"
    decoded = ovilex("decode", "--workdir", str(workdir), stdin=encoded.stdout)
    assert decoded.returncode == 0
    assert decoded.stdout == text.encode()


def test_decode_takes_any_whitespace_between_ids(ovilex, workdir):
    done = ovilex("decode", "--workdir", str(workdir), stdin=b"104\n105\t\t33 \r\n")
    assert done.stdout == b"hi!"


@pytest.mark.parametrize("command", ["train", "encode", "decode", "count-tokens"])
def test_help(ovilex, command):
    done = ovilex(command, "--help")
    assert done.returncode == 0
    assert done.stdout.decode().startswith(f"usage: ovilex {command} [-h] [--workdir DIR]")


# (arguments, stdin, files to make: name -> bytes or None for a directory,
#  the error line; {wd} stands for the trained workdir)
ERRORS = [
    (["train", "missing.txt"], b"", {}, "no such file: missing.txt"),
    (["train", "a.txt", "missing.txt"], b"", {"a.txt": b"abc"}, "no such file: missing.txt"),
    (["train", "dir"], b"", {"dir": None}, "dir is a directory, not a text file"),
    (["train", "bad.txt"], b"", {"bad.txt": b"ok\nok\n\xe9t\xe9\n"},
     "bad.txt: not UTF-8 text (line 3, byte 0xe9)"),
    (["train", "empty.txt"], b"", {"empty.txt": b""}, "no text to train on: the file is empty"),
    (["train", "e1", "e2"], b"", {"e1": b"", "e2": b""},
     "no text to train on: the 2 files are empty"),
    (["train", "a.txt", "--workdir", "f"], b"", {"a.txt": b"abc", "f": b""},
     "cannot use f as the working directory: File exists"),
    (["train", "a.txt", "--vocab-size", "255"], b"", {"a.txt": b"abc"},
     "--vocab-size: vocab_size must be 256 to 4294967295, found 255"),
    (["train", "a.txt", "--min-frequency", "-1"], b"", {"a.txt": b"abc"},
     "--min-frequency: min_frequency must be 0 or more, found -1"),
    (["train", "--counts", "c", "--max-token-length", "0"], b"", {"c": b""},
     "--max-token-length: max_token_length must be 1 or more, found 0"),
    (["encode"], b"abc", {}, "no such file: data/merges_record.json"),
    (["decode", "--workdir", "x"], b"1", {"x": None}, "no such file: x/data/merges_record.json"),
    (["encode", "--workdir", "{wd}"], b"ok \xff", {}, "standard input is not UTF-8 text (line 1, byte 0xff)"),
    (["decode", "--workdir", "{wd}"], b"104 x1 105", {},
     "standard input: expected token ids (integers 0 or more), found 'x1'"),
    (["decode", "--workdir", "{wd}"], b"-1", {},
     "standard input: expected token ids (integers 0 or more), found '-1'"),
    (["decode", "--workdir", "{wd}"], b"104 99999", {},
     "unknown token id 99999 (not in {wd}/data/vocab_list.json)"),
    (["decode", "--workdir", "{wd}"], b"104 195", {},
     "the ids do not make UTF-8 text: decoded bytes are not valid UTF-8: "
     "incomplete utf-8 byte sequence from index 1"),
]


@pytest.mark.parametrize("args, stdin, files, message", ERRORS)
def test_errors_are_one_line(ovilex, workdir, tmp_path, args, stdin, files, message):
    for name, content in files.items():
        if content is None:
            (tmp_path / name).mkdir()
        else:
            (tmp_path / name).write_bytes(content)
    done = ovilex(*(a.replace("{wd}", str(workdir)) for a in args), stdin=stdin)
    assert done.returncode == 1
    assert done.stderr.decode() == f"ovilex: error: {message.replace('{wd}', str(workdir))}\n"
    assert done.stdout == b""


def test_malformed_record_file_is_one_line(ovilex, workdir, tmp_path):
    (tmp_path / "data").mkdir()
    for name in ("merges_record.json", "vocab_list.json"):
        (tmp_path / "data" / name).write_bytes((workdir / "data" / name).read_bytes())
    vocab = tmp_path / "data/vocab_list.json"
    vocab.write_text(vocab.read_text().replace('{"id":3,"bytes":[3]}', '{"id":3,"bytes":3}'))
    done = ovilex("encode", stdin=b"abc")
    assert done.returncode == 1
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1
    assert lines[0].startswith("ovilex: error: data/vocab_list.json, line 5: expected an entry ")
    assert "Traceback" not in done.stderr.decode()


@pytest.mark.parametrize("args, message", [
    (["train", "--jobs", "0"], "ovilex train: error: argument --jobs: expected a whole number "
                               "1 or more, found '0'"),
    (["encode", "extra"], "ovilex: error: files to encode need --out DIR (without files, "
                           "encode reads standard input)"),
    ([], "ovilex: error: the following arguments are required: command"),
])
def test_usage_errors_give_status_2(ovilex, args, message):
    done = ovilex(*args)
    assert done.returncode == 2
    lines = done.stderr.decode().splitlines()
    assert lines[0].startswith("usage: ovilex")
    assert lines[-1] == message


def test_train_settings_are_those_of_the_package(ovilex, tmp_path):
    text = "the cat sat on the mat; the rat ate the hat, and that was that. " * 40
    (tmp_path / "a.txt").write_text(text)
    done = ovilex("train", "a.txt", "--workdir", "wd", "--vocab-size", "300",
                  "--min-frequency", "1", "--max-token-length", "3")
    assert done.returncode == 0, done.stderr.decode()
    expected = Tokenizer.train([text], workdir=tmp_path / "py", vocab_size=300, min_frequency=1,
                               max_token_length=3)
    assert Tokenizer.load(tmp_path / "wd").merges == expected.merges
    assert expected.merges
