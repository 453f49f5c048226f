"""Counting, training and encoding on a Dask cluster: a scheduler and two
worker processes on 127.0.0.1, started and stopped here. Every result is
compared with the local run's, byte for byte."""

import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import sysconfig

import pytest

from ovilex import SourceError, Tokenizer, WordCounts, count_files, split
from ovilex import cluster
from ovilex.shards import write_shards
from wide import wide_tokenizer
from words import generated

distributed = pytest.importorskip("distributed")
pytestmark = pytest.mark.foreign_leaks

def stdlib_text(first, count):
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("*.py"))[first:first + count]
    return "".join(p.read_text(encoding="utf-8") for p in paths)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Real and generated text files, and a JSON lines file."""
    top = tmp_path_factory.mktemp("corpus")
    texts = {"lib.txt": stdlib_text(0, 12), "gen.txt": generated(1, 60_000), "empty.txt": "",
             "more.txt": stdlib_text(12, 6) + "ends mid-wor"}
    for name, text in texts.items():
        (top / name).write_text(text, encoding="utf-8")
    lines = [json.dumps({"text": generated(seed, 200)}) for seed in range(300)]
    lines[7:7] = ["", "   "]
    (top / "docs.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return top


@pytest.fixture(scope="module")
def trained(corpus, tmp_path_factory):
    workdir = tmp_path_factory.mktemp("trained") / "wd"
    return workdir, Tokenizer.train([corpus / "lib.txt", corpus / "gen.txt"], workdir=workdir)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """A scheduler and two workers, each behind its nanny, which starts the
    worker process again when it dies."""

    def __init__(self, env, top):
        self.address = f"tcp://127.0.0.1:{free_port()}"
        self.env = env
        run = [sys.executable, "-m"]
        common = ["--no-dashboard"]
        self.processes = [subprocess.Popen(
            run + ["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port",
                   self.address.rsplit(":", 1)[1], *common],
            cwd=top, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        for i in range(2):
            self.processes.append(subprocess.Popen(
                run + ["distributed.cli.dask_worker", self.address, "--nworkers", "1",
                       "--nthreads", "1", "--local-directory", str(top / f"w{i}"),
                       "--name", f"w{i}", *common],
                cwd=top, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.client = distributed.Client(self.address, timeout=60, set_as_default=False)
        self.client.wait_for_workers(2, timeout=120)

    def worker_pids(self):
        return self.client.run(os.getpid)

    def close(self):
        self.client.close()
        for p in reversed(self.processes):
            p.send_signal(signal.SIGTERM)
        for p in self.processes:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


@pytest.fixture(scope="module")
def dask_cluster(package_env, tmp_path_factory):
    c = Cluster(package_env, tmp_path_factory.mktemp("cluster"))
    yield c
    c.close()


@pytest.fixture
def ovilex(package_env, tmp_path):
    def run(*args):
        env = dict(package_env, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s")
        return subprocess.run([sys.executable, "-m", "ovilex", *map(str, args)], cwd=tmp_path,
                              capture_output=True, env=env, timeout=300)
    return run


def counted_locally(paths):
    counts = WordCounts()
    counts.add_files([str(p) for p in paths], threads=1)
    return counts.to_dict()


def tree(top):
    return {p.relative_to(top).as_posix(): p.read_bytes()
            for p in sorted(top.rglob("*")) if p.is_file()}


# ----------------------------------------------------------------------
# The cluster


def test_counts_are_those_of_the_local_run(dask_cluster, corpus, tmp_path):
    paths = [corpus / n for n in ("lib.txt", "gen.txt", "empty.txt", "more.txt")]
    seen = []
    counts = cluster.count_files(dask_cluster.client, [str(p) for p in paths], span=20_000,
                                 progress=seen.append)
    assert counts.to_dict() == counted_locally(paths)
    assert sum(seen) == sum(p.stat().st_size for p in paths)
    count_files(paths, tmp_path / "local.counts")
    count_files(paths, tmp_path / "dask.counts", dask=dask_cluster.address)
    assert (tmp_path / "dask.counts").read_bytes() == (tmp_path / "local.counts").read_bytes()


# With a tokenizer whose ids fit 16 bits and one whose ids pass 65535 (its
# eot the greatest); each run goes over an earlier one's data files of the
# other width, which it removes.
@pytest.mark.parametrize("wide", [False, True], ids=["uint16", "uint32"])
@pytest.mark.parametrize("jsonl, eot", [(False, None), (False, 5), (True, None), (True, 7)])
def test_shards_are_those_of_the_local_run(dask_cluster, corpus, trained, tmp_path,
                                           monkeypatch, jsonl, eot, wide):
    tok = wide_tokenizer() if wide else trained[1]
    eot = 65791 if wide and eot is not None else eot
    monkeypatch.setattr(cluster, "PIECE_BYTES", 10_000)
    names = ["docs.jsonl"] if jsonl else ["lib.txt", "gen.txt", "empty.txt", "more.txt"]
    field = "text" if jsonl else None
    paths = [corpus / n for n in names]
    suffix, other = (".bin32", ".bin") if wide else (".bin", ".bin32")
    for where in ("local", "dask"):
        (tmp_path / where).mkdir()
        for path in paths:
            (tmp_path / where / f"{path.stem}{other}").write_bytes(b"earlier")
    local = write_shards(paths, tmp_path / "local", tokenizer=tok, jsonl_field=field, eot=eot)
    remote = write_shards(paths, tmp_path / "dask", tokenizer=tok, jsonl_field=field, eot=eot,
                          dask=dask_cluster.address)
    assert tree(tmp_path / "dask") == tree(tmp_path / "local")
    assert sorted(tree(tmp_path / "dask")) == sorted(f"{p.stem}{e}" for p in paths
                                                     for e in (suffix, ".idx"))
    assert [(s.documents, s.tokens) for s in remote] == [(s.documents, s.tokens) for s in local]


# Another split pattern, a prefix space: the workers cut each file at that
# pattern's safe cuts and put the space before its first piece only.
@pytest.mark.parametrize("pattern, prefix_space", [("gpt2", True), ("cl100k", False),
                                                   ("o200k", True)])
def test_shards_under_other_patterns_are_the_ids_of_each_whole_file(
        dask_cluster, corpus, trained, tmp_path, monkeypatch, pattern, prefix_space):
    base = trained[1]
    tok = Tokenizer(base.merges, base.vocab, pattern=pattern, prefix_space=prefix_space)
    monkeypatch.setattr(cluster, "PIECE_BYTES", 10_000)
    paths = [corpus / n for n in ("lib.txt", "gen.txt", "empty.txt", "more.txt")]
    shards = write_shards(paths, tmp_path / "dask", tokenizer=tok, dask=dask_cluster.address)
    for shard, path in zip(shards, paths):
        ids = tok.encode_array(path.read_bytes().decode("utf-8"))
        assert shard.bin.read_bytes() == ids.tobytes(), path.name


@pytest.mark.parametrize("job", ["count", "encode"])
def test_a_worker_killed_mid_job_changes_nothing(dask_cluster, corpus, trained, tmp_path,
                                                 monkeypatch, job):
    paths = [corpus / "lib.txt", corpus / "more.txt"]
    victim = sorted(dask_cluster.worker_pids().items())[0][1]
    killed = []

    def kill_once(_):
        if not killed:
            os.kill(victim, signal.SIGKILL)
            killed.append(victim)

    if job == "count":
        counts = cluster.count_files(dask_cluster.client, [str(p) for p in paths], span=4_000,
                                     progress=kill_once)
        assert counts.to_dict() == counted_locally(paths)
    else:
        _, tok = trained
        monkeypatch.setattr(cluster, "PIECE_BYTES", 4_000)
        write_shards(paths, tmp_path / "dask", tokenizer=tok, dask=dask_cluster.address,
                     progress=kill_once)
        write_shards(paths, tmp_path / "local", tokenizer=tok)
        assert tree(tmp_path / "dask") == tree(tmp_path / "local")
    assert killed
    # The nanny starts the worker again, for the tests that follow.
    dask_cluster.client.wait_for_workers(2, timeout=120)
    assert victim not in dask_cluster.worker_pids().values()


def test_cli_results_are_those_of_the_local_run(dask_cluster, corpus, trained, ovilex, tmp_path):
    files = [corpus / n for n in ("lib.txt", "gen.txt", "more.txt")]
    workdir, _ = trained
    for where in ("local", "dask"):
        dask = ["--dask", dask_cluster.address] if where == "dask" else []
        for args in (["count", *files, "--out", f"{where}.counts"],
                     ["train", *files, "--workdir", f"{where}-wd"],
                     ["encode", *files, "--workdir", workdir, "--out", f"{where}-shards",
                      "--eot", "3"]):
            done = ovilex(*args, *dask)
            assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "dask.counts").read_bytes() == (tmp_path / "local.counts").read_bytes()
    assert tree(tmp_path / "dask-wd") == tree(tmp_path / "local-wd")
    assert tree(tmp_path / "dask-shards") == tree(tmp_path / "local-shards")


# ----------------------------------------------------------------------
# Bad input


@pytest.mark.parametrize("command", ["count", "encode", "jsonl"])
def test_bytes_that_are_not_utf8_give_the_local_message(dask_cluster, trained, ovilex,
                                                        tmp_path, command):
    workdir, _ = trained
    lines = [json.dumps({"text": f"line {i} ok"}) for i in range(3000)]
    data = ("\n".join(lines) + "\n").encode()
    bad = tmp_path / "bad.jsonl"
    bad.write_bytes(data[:50_000] + b"\xff" + data[50_000:])
    args = {"count": ["count", bad, "--out", "x.counts"],
            "encode": ["encode", bad, "--workdir", workdir, "--out", "shards"],
            "jsonl": ["encode", bad, "--workdir", workdir, "--out", "shards", "--jsonl", "text"]
            }[command]
    local = ovilex(*args)
    remote = ovilex(*args, "--dask", dask_cluster.address)
    assert local.returncode == remote.returncode == 1
    assert remote.stderr == local.stderr
    assert b"not UTF-8 text (line " in remote.stderr
    assert [p.name for p in tmp_path.rglob("*") if p.is_file()] == ["bad.jsonl"]


def test_a_bad_json_line_in_a_later_piece_gives_the_local_message(dask_cluster, trained,
                                                                  tmp_path, monkeypatch):
    _, tok = trained
    monkeypatch.setattr(cluster, "PIECE_BYTES", 1_000)
    lines = [json.dumps({"text": f"document {i}"}) for i in range(400)]
    lines[311] = json.dumps({"body": "no text"})
    path = tmp_path / "docs.jsonl"
    path.write_text("\n".join(lines) + "\n")
    messages = []
    for dask in (None, dask_cluster.address):
        with pytest.raises(SourceError) as e:
            write_shards([path], tmp_path / "out", tokenizer=tok, jsonl_field="text", dask=dask)
        messages.append(str(e.value))
    assert messages[0] == messages[1] == f'{path}, line 312: no field "text"'
    assert sorted(os.listdir(tmp_path / "out")) == []


def test_an_unreachable_scheduler_is_one_line(ovilex, corpus, tmp_path):
    address = f"tcp://127.0.0.1:{free_port()}"
    done = ovilex("count", corpus / "gen.txt", "--out", "x.counts", "--dask", address)
    assert done.returncode == 1
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1
    assert lines[0].startswith(f"ovilex: error: cannot reach the Dask scheduler at {address}: ")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args, message", [
    (["train", "--counts", "a.counts", "--dask", "tcp://127.0.0.1:1"],
     "--dask counts text files; count files (--counts) are read here"),
    (["encode", "--dask", "tcp://127.0.0.1:1"], "--dask needs --out DIR"),
])
def test_usage_errors(ovilex, args, message):
    done = ovilex(*args)
    assert done.returncode == 2
    assert done.stderr.decode().splitlines()[-1] == f"ovilex: error: {message}"
