"""Token shards: python -m ovilex encode FILE... --out DIR and
ovilex.shards.write_shards. The files are read without numpy (array and
struct), the width told by the data file's name alone; every document's ids
must be Tokenizer.encode of its text, with a tokenizer whose ids fit 16 bits
and with one whose ids pass 65535, and every failure must leave no file
under an output's name."""

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
from ovilex import jsonl
from ovilex import shards as shards_module
from ovilex.shards import Progress, write_shards
from wide import wide_tokenizer

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


# A reader's rule: the data file's suffix gives the width of its ids.
WIDTHS = {".bin": "H", ".bin32": "I"}


def ids_of(path):
    values = array(WIDTHS[pathlib.Path(path).suffix], pathlib.Path(path).read_bytes())
    if sys.byteorder != "little":
        values.byteswap()
    return values.tolist()


def ends_of(path):
    values = array("Q", pathlib.Path(path).read_bytes())
    if sys.byteorder != "little":
        values.byteswap()
    return values.tolist()


def data_file(out, name):
    """The one data file of out/name, of either width."""
    found = [out / f"{name}{suffix}" for suffix in WIDTHS if (out / f"{name}{suffix}").exists()]
    assert len(found) == 1, found
    return found[0]


def documents_of(out, name):
    """The ids of every document of out/name's data file, cut at
    out/name.idx."""
    ids, ends = ids_of(data_file(out, name)), ends_of(out / f"{name}.idx")
    assert ends == sorted(ends) and (not ends or ends[-1] == len(ids))
    return [ids[a:b] for a, b in zip([0, *ends], ends)]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """(workdir, tokenizer) trained on generated text."""
    workdir = tmp_path_factory.mktemp("shards") / "wd"
    return workdir, Tokenizer.train([generated(0, 200_000)], workdir=workdir)


@pytest.fixture(scope="module")
def wide():
    return wide_tokenizer()


@pytest.fixture(params=["trained", "wide"])
def tokenizer(request):
    """Each tokenizer, with its data files' suffix and its greatest id."""
    tok = request.getfixturevalue(request.param)
    tok = tok[1] if isinstance(tok, tuple) else tok
    return tok, ".bin" if request.param == "trained" else ".bin32", max(tok.vocab)


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


@pytest.mark.parametrize("threads, eot", [(1, None), (2, 0), (None, "top")])
def test_each_file_is_one_document_of_its_ids(tokenizer, files, tmp_path, threads, eot):
    tok, suffix, top = tokenizer
    eot = top if eot == "top" else eot
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
        assert shard == (tmp_path / "in" / f"{name}.txt", tmp_path / "out" / f"{name}{suffix}",
                         tmp_path / "out" / f"{name}.idx", 1, len(expected))
        done = [p for p in seen if p.file == str(shard.source) and p.done]
        size = len(text.encode())
        assert done == [Progress(str(shard.source), size, size, len(expected), True)]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == \
        sorted(f"{n}{e}" for n in files for e in (suffix, ".idx"))
    if suffix == ".bin32":  # ids on both sides of 65536
        assert {i > 0xFFFF for i in documents_of(tmp_path / "out", "big")[0]} == {False, True}


@pytest.mark.parametrize("eot", [None, 5, "top"])
def test_jsonl_lines_are_documents(tokenizer, tmp_path, monkeypatch, eot):
    tok, _, top = tokenizer
    eot = top if eot == "top" else eot
    monkeypatch.setattr(jsonl, "BATCH_BYTES", 300)  # many batches
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


BASE = {i: bytes([i]) for i in range(256)}


@pytest.mark.parametrize("top, suffix", [(65535, ".bin"), (65536, ".bin32")])
def test_the_greatest_id_picks_the_width_alike_on_both_paths(tmp_path, top, suffix):
    tok = Tokenizer([((104, 105), top)], BASE | {top: b"hi"})
    text = "hi, hi there; chi"
    (tmp_path / "t.txt").write_text(text)
    (tmp_path / "t.jsonl").write_text(json.dumps({"t": text}) + "\n")
    write_shards([tmp_path / "t.txt"], tmp_path / "text", tokenizer=tok, eot=top)
    write_shards([tmp_path / "t.jsonl"], tmp_path / "jsonl", tokenizer=tok, eot=top,
                 jsonl_field="t")
    for out in ("text", "jsonl"):
        assert sorted(p.name for p in (tmp_path / out).iterdir()) == sorted(["t.idx", f"t{suffix}"])
        assert documents_of(tmp_path / out, "t") == [tok.encode(text) + [top]]
        assert top in tok.encode(text) and tok.id_to_bytes(top) == b"hi"
    for name in (f"t{suffix}", "t.idx"):
        assert (tmp_path / "text" / name).read_bytes() == (tmp_path / "jsonl" / name).read_bytes()


def tree(top):
    return {p.name: p.read_bytes() for p in sorted(top.iterdir())}


@pytest.mark.parametrize("jsonl", [False, True])
def test_a_run_removes_the_data_file_of_the_other_width(trained, wide, tmp_path, jsonl):
    _, narrow = trained
    source = tmp_path / ("d.jsonl" if jsonl else "d.txt")
    source.write_text(json.dumps({"t": "some text"}) + "\n")
    document = "some text" if jsonl else source.read_text()
    field = "t" if jsonl else None
    out = tmp_path / "out"
    for tok, suffix in [(wide, ".bin32"), (narrow, ".bin"), (wide, ".bin32")]:
        write_shards([source], out, tokenizer=tok, jsonl_field=field)
        assert sorted(p.name for p in out.iterdir()) == sorted(["d.idx", f"d{suffix}"])
        assert documents_of(out, "d") == [tok.encode(document)]
    # A run that fails leaves the earlier files as they were.
    (tmp_path / "bad.jsonl").write_bytes(b"\xff")
    before = tree(out)
    with pytest.raises(SourceError, match="not UTF-8"):
        write_shards([source, tmp_path / "bad.jsonl"], out, tokenizer=narrow, jsonl_field=field)
    assert tree(out) == before


# A special token's id counts toward the width as a learned one does.
@pytest.mark.parametrize("jsonl", [False, True])
@pytest.mark.parametrize("learned, special, suffix", [
    (400, 300, ".bin"), (65536, 300, ".bin32"), (300, 65536, ".bin32")])
def test_eot_by_text_in_both_widths(tmp_path, jsonl, learned, special, suffix):
    tok = Tokenizer([((104, 105), learned)], BASE | {learned: b"hi"}, {"<|end|>": special})
    source = tmp_path / ("d.jsonl" if jsonl else "d.txt")
    source.write_text(json.dumps({"t": "hi there"}) + "\n")
    document = "hi there" if jsonl else source.read_text()
    shards = write_shards([source], tmp_path / "out", tokenizer=tok, eot="<|end|>",
                          jsonl_field="t" if jsonl else None)
    assert shards[0].bin.name == f"d{suffix}"
    assert documents_of(tmp_path / "out", "d") == [tok.encode(document) + [special]]


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
    (["a.jsonl", "x.jsonl", "--jsonl", "t"],
     {"a.jsonl": b'{"t": "ok"}\n', "x.jsonl": b"{}", "out": None, "out/x.idx": None},
     "cannot write out/x.idx: Is a directory"),
    (["a.txt", "x.txt"], {"a.txt": b"abc", "x.txt": b"abc", "out": None, "out/x.bin32": None},
     "cannot remove out/x.bin32: Is a directory"),
    (["a.jsonl", "x.jsonl", "--jsonl", "t"],
     {"a.jsonl": b'{"t": "ok"}\n', "x.jsonl": b"{}", "out": None, "out/x.bin32": None},
     "cannot remove out/x.bin32: Is a directory"),
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
    with pytest.raises(TypeError, match="^paths must be an iterable of paths, not a single str$"):
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
    with pytest.raises(TypeError, match=r"must hold \(source, bin, idx\) or \(source, bin, idx, "
                                        r"other\) tuples, found list at index 0"):
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
