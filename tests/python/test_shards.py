"""Token shards: python -m ovilex encode FILE... --out DIR and
ovilex.shards.write_shards. The files are read without numpy (array and
struct); every document's ids must be Tokenizer.encode of its text, and
every failure must leave no file under an output's name."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import sysconfig
from array import array

import pytest

from ovilex import SourceError, Tokenizer
from ovilex import shards as shards_module
from ovilex.shards import Progress, write_shards

BLOCK = 4 << 20  # the native reader's block
WORDS = ["the", " quick", " brown", " fox", "'s", " 42", "\n", "  ", "\t", "é", " Москва",
         "日本", "👍🏽", "_x", ".", "\u00a0", "\u2028", "x'", "ll", "\r\n"]


def generated(seed, size):
    rng = random.Random(seed)
    parts, total = [], 0
    while total < size:
        parts.append(rng.choice(WORDS))
        total += len(parts[-1])
    return "".join(parts)


def straddling(char, before):
    """Text whose first block ends |before| bytes into |char|."""
    head = "ab " * ((BLOCK - before) // 3)
    head += "x" * (BLOCK - before - len(head))
    return head + char + " tail" * 100


def ids_of(path):
    values = array("H", pathlib.Path(path).read_bytes())
    if sys.byteorder != "little":
        values.byteswap()
    return values.tolist()


def ends_of(path):
    values = array("Q", pathlib.Path(path).read_bytes())
    if sys.byteorder != "little":
        values.byteswap()
    return values.tolist()


def documents_of(out, name):
    """The ids of every document of out/name.bin, cut at out/name.idx."""
    ids, ends = ids_of(out / f"{name}.bin"), ends_of(out / f"{name}.idx")
    assert ends == sorted(ends) and (not ends or ends[-1] == len(ids))
    return [ids[a:b] for a, b in zip([0, *ends], ends)]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """(workdir, tokenizer) trained on generated text."""
    workdir = tmp_path_factory.mktemp("shards") / "wd"
    return workdir, Tokenizer.train([generated(0, 200_000)], workdir=workdir)


@pytest.fixture
def ovilex(package_env, tmp_path):
    return lambda *args: subprocess.run([sys.executable, "-m", "ovilex", *map(str, args)],
                                        cwd=tmp_path, capture_output=True, env=package_env,
                                        timeout=120)


# ----------------------------------------------------------------------
# The ids


def stdlib_texts(count):
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("*.py"))[:count]
    return {p.stem: p.read_text(encoding="utf-8") for p in paths}


@pytest.fixture(scope="module")
def files():
    """name -> text: real text, text past one block, text ending mid-word,
    characters cut by the first block's end."""
    texts = {"empty": "", "word": "ends mid-wor", "big": generated(1, 9_000_000) + "ab"}
    texts.update(stdlib_texts(4))
    for before, char in [(1, "日"), (2, "日"), (1, "👍"), (3, "👍")]:
        texts[f"edge{before}-{len(char.encode())}"] = straddling(char, before)
    return texts


@pytest.mark.parametrize("threads, eot", [(1, None), (2, 0), (None, 300)])
def test_each_file_is_one_document_of_its_ids(trained, files, tmp_path, threads, eot):
    _, tok = trained
    paths = []
    for name, text in files.items():
        paths.append(tmp_path / "in" / f"{name}.txt")
        paths[-1].parent.mkdir(exist_ok=True)
        paths[-1].write_text(text, encoding="utf-8")
    seen = []
    shards = write_shards(paths, tmp_path / "out", tokenizer=tok, eot=eot, threads=threads,
                          progress=seen.append)
    tail = [] if eot is None else [eot]
    for shard, (name, text) in zip(shards, files.items()):
        expected = tok.encode(text) + tail
        assert documents_of(tmp_path / "out", name) == [expected], name
        assert shard == (tmp_path / "in" / f"{name}.txt", tmp_path / "out" / f"{name}.bin",
                         tmp_path / "out" / f"{name}.idx", 1, len(expected))
        done = [p for p in seen if p.file == str(shard.source) and p.done]
        size = len(text.encode())
        assert done == [Progress(str(shard.source), size, size, len(expected), True)]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == \
        sorted(f"{n}.{e}" for n in files for e in ("bin", "idx"))


@pytest.mark.parametrize("eot", [None, 5])
def test_jsonl_lines_are_documents(trained, tmp_path, monkeypatch, eot):
    _, tok = trained
    monkeypatch.setattr(shards_module, "BATCH_BYTES", 300)  # many batches
    docs = ["", "Hello, wörld", generated(2, 50_000), "日本語 👍🏽\n\t", "a\u2028b", "q" * 1000]
    lines = [json.dumps({"id": i, "text": d}, ensure_ascii=i % 2 == 0)
             for i, d in enumerate(docs)]
    lines.insert(2, "   ")  # blank lines are skipped
    (tmp_path / "a.jsonl").write_text("\r\n".join(lines) + "\n", encoding="utf-8")
    (tmp_path / "b.jsonl").write_text("", encoding="utf-8")
    shards = write_shards([tmp_path / "a.jsonl", tmp_path / "b.jsonl"], tmp_path / "out",
                          tokenizer=tok, jsonl_field="text", eot=eot)
    tail = [] if eot is None else [eot]
    assert documents_of(tmp_path / "out", "a") == [tok.encode(d) + tail for d in docs]
    assert documents_of(tmp_path / "out", "b") == []
    assert [(s.documents, s.tokens) for s in shards] == \
        [(len(docs), sum(len(tok.encode(d) + tail) for d in docs)), (0, 0)]


def test_cli_writes_the_shards_and_json_progress(trained, ovilex, tmp_path):
    workdir, tok = trained
    texts = {"a.txt": generated(3, 300_000), "sub/b.md": "short ünïcode"}
    for name, text in texts.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")
    (tmp_path / "out").mkdir()
    (tmp_path / "out/a.bin").write_bytes(b"an earlier shard")
    done = ovilex("encode", *texts, "--out", "out", "--workdir", workdir, "--eot", 7,
                  "--jobs", 1, "--progress", "json")
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout == b""
    for name, text in texts.items():
        assert documents_of(tmp_path / "out", pathlib.Path(name).stem) == [tok.encode(text) + [7]]
    records = [json.loads(line) for line in done.stderr.decode().splitlines()]
    assert all(r.keys() == {"file", "bytes_done", "bytes_total", "tokens", "done"}
               for r in records)
    assert [r for r in records if r["done"]] == [
        {"file": name, "bytes_done": len(text.encode()), "bytes_total": len(text.encode()),
         "tokens": len(tok.encode(text)) + 1, "done": True} for name, text in texts.items()]


# ----------------------------------------------------------------------
# Errors: one line, and nothing under an output's name

# (arguments after "encode", files to make: name -> bytes or None for a
#  directory, the message; {wd} stands for the trained workdir)
ERRORS = [
    (["missing.txt"], {}, "no such file: missing.txt"),
    (["a.txt", "dir"], {"a.txt": b"abc", "dir": None}, "dir is a directory, not a text file"),
    (["a.txt", "bad.txt"], {"a.txt": b"abc" * 100_000, "bad.txt": b"ok\n\xe9t\xe9\n"},
     "bad.txt: not UTF-8 text (line 2, byte 0xe9)"),
    (["a/x.txt", "b/x.txt"], {"a": None, "b": None, "a/x.txt": b"1", "b/x.txt": b"2"},
     "a/x.txt and b/x.txt would both be written to out/x.bin and .idx"),
    (["a.txt", "--eot", "99999"], {"a.txt": b"abc"},
     "end-of-text id 99999 is not in the vocabulary ({n} ids)"),
    (["a.txt", "--eot", "-1"], {"a.txt": b"abc"},
     "end-of-text id -1 is not in the vocabulary ({n} ids)"),
    (["a.txt", "--eot", "x"], {"a.txt": b"abc"},
     "end-of-text token 'x' is not a special token of the tokenizer (its special tokens: none)"),
    (["a.txt", "--out", "f"], {"a.txt": b"abc", "f": b""},
     "cannot use f as the output directory: File exists"),
    (["a.txt", "--out", "f/sub"], {"a.txt": b"abc", "f": b""},
     "cannot use f/sub as the output directory: Not a directory"),
    (["a.txt", "x.txt"], {"a.txt": b"abc", "x.txt": b"abc", "out": None, "out/x.idx": None},
     "cannot write out/x.idx: Is a directory"),
    (["a.jsonl", "x.jsonl", "--jsonl", "t"],
     {"a.jsonl": b'{"t": "ok"}\n', "x.jsonl": b"{}", "out": None, "out/x.bin": None},
     "cannot write out/x.bin: Is a directory"),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"t": "ok"}\n\n{"t": "ok"\n'},
     "j.jsonl, line 3: not JSON: Expecting ',' delimiter (column 11)"),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"t": "ok"}\n["t"]\n'},
     "j.jsonl, line 2: expected a JSON object, found an array"),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"text": "ok"}\n'},
     'j.jsonl, line 1: no field "t"'),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"t": "ok"}\r\n{"t": 12}\r\n'},
     'j.jsonl, line 2: field "t" holds a number, not a string'),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"t": null}'},
     'j.jsonl, line 1: field "t" holds null, not a string'),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"t": "ok"}\n{"t": "a\\ud800b"}\n'},
     'j.jsonl, line 2: field "t" holds a lone surrogate (U+D800)'),
    (["j.jsonl", "--jsonl", "t"], {"j.jsonl": b'{"t": "ok"}\n{"t": "\xff"}\n'},
     "j.jsonl: not UTF-8 text (line 2, byte 0xff)"),
]


@pytest.mark.parametrize("args, files, message", ERRORS)
def test_errors_are_one_line_and_leave_no_output(trained, ovilex, tmp_path, args, files,
                                                 message):
    workdir, tok = trained
    for name, content in files.items():
        if content is None:
            (tmp_path / name).mkdir()
        else:
            (tmp_path / name).write_bytes(content)
    out = "out" if "--out" not in args else args[args.index("--out") + 1]
    options = [] if "--out" in args else ["--out", "out"]
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    done = ovilex("encode", *args, *options, "--workdir", workdir)
    assert done.returncode == 1
    assert done.stderr.decode() == f"ovilex: error: {message.format(n=tok.vocab_size)}\n"
    assert done.stdout == b""
    # Nothing new: no shard, no temporary file, only the output directory.
    after = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    assert set(after) - set(before) <= {pathlib.Path(out)}


@pytest.mark.parametrize("args, message", [
    (["a.txt", "--eot", "3"], "ovilex: error: files to encode need --out DIR (without files, "
                              "encode reads standard input)"),
    (["--eot", "3"], "ovilex: error: --eot needs --out DIR"),
    (["--jsonl", "text"], "ovilex: error: --jsonl needs --out DIR"),
    (["--out", "out"], "ovilex: error: --out needs files to encode"),
])
def test_usage_errors(ovilex, args, message):
    done = ovilex("encode", *args)
    assert done.returncode == 2
    lines = done.stderr.decode().splitlines()
    assert lines[0].startswith("usage: ovilex")
    assert lines[-1] == message


def test_api_takes_one_tokenizer(trained, tmp_path):
    workdir, tok = trained
    (tmp_path / "a.txt").write_text("abc")
    for kwargs in ({}, {"tokenizer": tok, "workdir": workdir}):
        with pytest.raises(TypeError, match="takes one of tokenizer and workdir"):
            write_shards([tmp_path / "a.txt"], tmp_path / "out", **kwargs)
    with pytest.raises(TypeError, match="not a single path"):
        write_shards(str(tmp_path / "a.txt"), tmp_path / "out", tokenizer=tok)
    with pytest.raises(SourceError, match="a.txt, line 1: not JSON: Expecting value"):
        write_shards([tmp_path / "a.txt"], tmp_path / "out", workdir=workdir, jsonl_field="t")
    assert list((tmp_path / "out").iterdir()) == []


def test_native_writer_checks_its_arguments(trained, tmp_path):
    _, tok = trained
    (tmp_path / "a.txt").write_text("abc")
    job = (tmp_path / "a.txt", tmp_path / "a.bin", tmp_path / "a.idx")
    with pytest.raises(ValueError, match="^eot: unknown token id 70000$"):
        tok.write_shards([job], eot=70000)
    with pytest.raises(TypeError, match=r"must hold \(source, bin, idx\) tuples, found list"):
        tok.write_shards([list(job)])
    with pytest.raises(ZeroDivisionError):
        tok.write_shards([job], progress=lambda *a: 1 / 0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt"]


# ----------------------------------------------------------------------
# Interruption


def test_sigint_leaves_no_shard_and_no_temporary(trained, package_env, tmp_path):
    workdir, _ = trained
    (tmp_path / "big.txt").write_text(generated(4, 1_000_000) * 100, encoding="utf-8")
    out = tmp_path / "out"
    # Started as a terminal's shell starts a command, with SIGINT at its
    # default. A process that inherits SIGINT ignored keeps ignoring it,
    # Python included, and so does every command that a shell without job
    # control runs in the background: a suite started that way (a CI job,
    # `tools/test &`) would hand that on, and the interrupt would never come.
    proc = subprocess.Popen(["env", "--default-signal=INT",
                             sys.executable, "-m", "ovilex", "encode", "big.txt", "--out", "out",
                             "--workdir", str(workdir), "--jobs", "1", "--progress", "json"],
                            cwd=tmp_path, env=package_env, stderr=subprocess.PIPE)
    with proc:
        try:
            first = json.loads(proc.stderr.readline())  # the first block is being written
            # Held still while we look, so that a loaded machine cannot let it
            # finish first; the interrupt waits for it to go on.
            proc.send_signal(signal.SIGSTOP)
            assert (first["file"], first["done"]) == ("big.txt", False)
            writing = sorted(p.name for p in out.iterdir())
            proc.send_signal(signal.SIGINT)
            proc.send_signal(signal.SIGCONT)
            rest = proc.stderr.read().decode()
            proc.wait(timeout=60)
        finally:
            proc.kill()
    assert [n.split(".tmp.")[0] for n in writing] == [".big.bin", ".big.idx"]
    assert proc.returncode == 130
    assert rest.endswith("ovilex: interrupted\n")
    assert list(out.iterdir()) == []
