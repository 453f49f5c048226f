"""Calls from several Python threads at once: every result equals the one
the same call gives alone, the record files in the shared working directory
are those of one whole training call, and each function keeps the
interpreter lock for its whole call. Also the pool created by concurrent
first training calls in a fresh process, with 1 and 4 workers.
(test_train covers encode_train holding the lock.)"""

import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import _ovilex

BUILD_DIR = os.path.dirname(_ovilex.__file__)
RECORDS = ["merges_record.json", "vocab_list.json"]
THREADS = 8
ROUNDS = 3


def corpus(seed, chunks, letters):
    rng = random.Random(seed)
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(1, 9))) for _ in range(400)]
    return [rng.choice(words) for _ in range(chunks)]


def workload():
    """Training corpora of varied sizes and alphabets, and encode and decode
    arguments made from them: a list of (function name, arguments)."""
    corpora = [corpus(1, 3000, "abc"), corpus(2, 20_000, "abcdefgh\u00e9"),
               corpus(3, 500, "xy\u20ac\U0001d11e"), ["abab"] * 3, [],
               corpus(4, 60_000, "abcdefghijklmnopqrstuvwxyz ")]
    calls = [("encode_train", (chunks,)) for chunks in corpora]
    for i, chunks in enumerate(corpora[:4]):
        merges = [((l, r), n) for (l, r), n in _reference_merges(chunks)]
        calls.append(("encode", (corpora[(i + 1) % len(corpora)], merges)))
        vocab = {b: bytes([b]) for b in range(256)}
        for (l, r), n in merges:
            vocab[n] = vocab[l] + vocab[r]
        ids = [b for chunk in chunks[:200] for b in chunk.encode()]
        calls.append(("decode_string", (ids, vocab)))
    calls.append(("build_info", ()))
    return calls


_merges_cache = {}


def _reference_merges(chunks):
    """The module's own merges for |chunks|, trained alone in a scratch
    directory; only used to make encode arguments."""
    key = tuple(chunks)
    if key not in _merges_cache:
        _merges_cache[key] = _ovilex.encode_train(chunks)
    return _merges_cache[key]


def run_alone(calls, directory):
    """Each call once, one after the other; for training also the record
    files it leaves."""
    results = []
    for name, args in calls:
        result = getattr(_ovilex, name)(*args)
        files = tuple((directory / "data" / n).read_bytes() for n in RECORDS) \
            if name == "encode_train" else None
        results.append((result, files))
    return results


class TestThreads:
    def test_all_functions_from_many_threads(self, tmp_path, monkeypatch):
        (tmp_path / "alone").mkdir()
        (tmp_path / "shared").mkdir()
        monkeypatch.chdir(tmp_path / "alone")
        calls = workload()
        alone = run_alone(calls, tmp_path / "alone")
        trainings = {files for _, files in alone if files is not None}

        monkeypatch.chdir(tmp_path / "shared")
        start = threading.Barrier(THREADS)
        got = [[] for _ in range(THREADS)]
        errors = []

        def worker(t):
            rng = random.Random(t)
            order = [i for _ in range(ROUNDS) for i in range(len(calls))]
            rng.shuffle(order)
            try:
                start.wait()
                for i in order:
                    name, args = calls[i]
                    got[t].append((i, getattr(_ovilex, name)(*args)))
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        old_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)  # hand the lock over between calls as often as possible
        try:
            threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            sys.setswitchinterval(old_interval)
        assert errors == []
        for t in range(THREADS):
            assert len(got[t]) == ROUNDS * len(calls)
            for i, result in got[t]:
                assert result == alone[i][0], (t, calls[i][0])
        # Both files come from one and the same training call.
        final = tuple((tmp_path / "shared" / "data" / n).read_bytes() for n in RECORDS)
        assert final in trainings
        assert sorted(os.listdir(tmp_path / "shared" / "data")) == RECORDS


class TestInterpreterLock:
    """While any of the three runs, a thread that counts in Python
    makes no progress. The switch interval is so long that the lock changes
    hands only when its holder blocks, so the count can move during the call
    only if the call itself lets go of the lock."""

    @staticmethod
    def big_call(name):
        rng = random.Random(7)
        text = "".join(rng.choice("abcdefgh \u00e9") for _ in range(3_000_000))
        chunks = [text[i:i + 7] for i in range(0, len(text), 7)]
        if name == "encode_train":
            return lambda: _ovilex.encode_train(chunks)
        merges = [((97, 98), 256), ((256, 99), 257), ((32, 97), 258), ((195, 169), 259)]
        if name == "encode":
            return lambda: _ovilex.encode(chunks, merges)
        vocab = {b: bytes([b]) for b in range(128)}
        vocab[259] = "\u00e9".encode()
        ids = [259 if c == "\u00e9" else ord(c) for c in text]
        return lambda: _ovilex.decode_string(ids, vocab)

    @pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                        reason="no interpreter lock in this build")
    @pytest.mark.parametrize("name", ["encode_train", "encode", "decode_string"])
    def test_other_threads_wait(self, name):
        call = self.big_call(name)
        counter = [0]
        stop = [False]

        def count():
            while not stop[0]:
                counter[0] += 1
                time.sleep(0.0005)

        old_interval = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)
        spinner = threading.Thread(target=count)
        try:
            spinner.start()
            deadline = time.monotonic() + 30
            while counter[0] < 20 and time.monotonic() < deadline:
                time.sleep(0.001)
            assert counter[0] >= 20, "the counting thread never ran"
            before = counter[0]
            result = call()
            after = counter[0]
            while counter[0] == after and time.monotonic() < deadline:
                time.sleep(0.001)
            assert counter[0] > after, "the counting thread stopped"
        finally:
            stop[0] = True
            spinner.join()
            sys.setswitchinterval(old_interval)
        assert result
        assert after == before


# Runs in a fresh process: THREADS threads start training at once, so the
# pool is created while several calls want it; encode and decode_string run
# beside them. Prints the results and the number of the process's threads.
FIRST_CALLS = """
import json, os, sys, threading
import _ovilex
with open(sys.argv[1]) as f:
    jobs = json.load(f)
start = threading.Barrier(len(jobs))
results = [None] * len(jobs)

def work(i):
    name, args = jobs[i]
    if name == "encode":
        args = [args[0], [((l, r), n) for (l, r), n in args[1]]]
    if name == "decode_string":
        args = [args[0], {int(k): bytes(v) for k, v in args[1].items()}]
    start.wait()
    results[i] = getattr(_ovilex, name)(*args)

sys.setswitchinterval(1e-5)
threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps({"results": results, "threads": len(os.listdir("/proc/self/task")),
                  "files": [open("data/" + n).read() for n in
                            ("merges_record.json", "vocab_list.json")]}))
"""


class TestPoolCreation:
    @pytest.mark.parametrize("workers", [1, 4])
    def test_first_calls_from_many_threads(self, workers, tmp_path):
        corpora = [corpus(10 + i, 20_000, "abcdefg\u00e9") for i in range(6)]
        merges, files = [], []
        for chunks in corpora:
            merges.append(_ovilex.encode_train(chunks))
            files.append(tuple((tmp_path / "data" / n).read_text() for n in RECORDS))
        vocab = {b: list(bytes([b])) for b in range(256)}
        jobs = [["encode_train", [c]] for c in corpora]
        jobs.append(["encode", [corpora[0], merges[1]]])
        jobs.append(["decode_string", [[104, 105], vocab]])
        (tmp_path / "jobs.json").write_text(json.dumps(jobs))
        (tmp_path / "run").mkdir()
        done = subprocess.run(
            [sys.executable, "-c", FIRST_CALLS, str(tmp_path / "jobs.json")],
            cwd=tmp_path / "run", capture_output=True, text=True, timeout=300,
            env=dict(os.environ, PYTHONPATH=BUILD_DIR, OVILEX_NUM_THREADS=str(workers)))
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        as_json = json.loads(json.dumps(merges))
        assert report["results"][:6] == as_json
        assert report["results"][6] == _ovilex.encode(corpora[0], merges[1])
        assert report["results"][7] == "hi"
        assert tuple(report["files"]) in files
        # The main thread and the pool's workers: one pool, however many
        # calls wanted it first.
        assert report["threads"] == 1 + workers
