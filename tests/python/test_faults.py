"""Injected faults. The record files on a full file system, one out of
inodes, one mounted read-only, and under a file size limit exactly at a
file's size; the package's count files, shards and records on a full one; allocations failing under an address-space limit, and the
module's own allocations failing one at a time, on the pool's workers and
while the pool starts. After every fault the previous record files are whole,
no temporary file is left, and the module goes on giving the right results.

Each fault is made in a process of its own, which reports back in JSON."""

import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import textwrap

import pytest

import _ovilex
import reference as ref

BUILD_DIR = os.path.dirname(_ovilex.__file__)
HERE = pathlib.Path(__file__).resolve().parent
RECORDS = ["merges_record.json", "vocab_list.json"]

# The first training leaves small files; the second makes other merges.
FIRST = ["abab"] * 3
SECOND = ["hello", "help", "hell"] * 3
# A skipped subprocess exits with this code and gives its reason on stdout.
SKIP = 77


def run_python(script, *args, env=None, timeout=300):
    """Runs |script| in a fresh interpreter that imports the built module;
    returns its stdout parsed as JSON, or skips on SKIP."""
    environ = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD_DIR, str(HERE)]), **(env or {}))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=environ)
    if done.returncode == SKIP:
        pytest.skip(done.stdout.strip())
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout)


def records_of(merges):
    """The two record texts of a training that made |merges|."""
    return [text.decode() for text in ref.record_texts(merges)]


def repeated_words(count, length, seed=5):
    """|count| distinct random words, each three times: every pair of every
    word is frequent enough to merge."""
    rng = random.Random(seed)
    words = set()
    while len(words) < count:
        words.add("".join(rng.choice("abcdefghijklmnop") for _ in range(length)))
    return sorted(words) * 3


def no_space(path):
    return f"failed to write {path}: No space left on device (os error 28)"


def read_only(path):
    return f"failed to write {path}: Read-only file system (os error 30)"


# --------------------------------------------------------------------------
# Record files on a tmpfs of its own


# Mounts a tmpfs in a mount namespace of its own (nothing reaches the parent's
# namespace), and gives the ways to fill it.
MOUNT_TMPFS = r"""
import errno, json, os, subprocess, sys

setup = json.loads(sys.argv[1])
where = setup["dir"]

def refuse(reason):
    print(reason)
    sys.exit(77)

try:
    os.unshare(os.CLONE_NEWNS)
except (AttributeError, OSError) as e:
    refuse(f"no mount namespace of our own: {e}")
if subprocess.run(["mount", "--make-rprivate", "/"], capture_output=True).returncode != 0:
    # Inside a chroot "/" is no mount point: go on only when no mount we can
    # see is shared with another namespace.
    with open("/proc/self/mountinfo") as info:
        if any(" shared:" in line.split(" - ")[0] for line in info):
            refuse("cannot keep the test's mounts out of a shared mount namespace")
done = subprocess.run(["mount", "-t", "tmpfs", "-o", setup["options"], "tmpfs", where],
                      capture_output=True, text=True)
if done.returncode != 0:
    refuse("cannot mount a tmpfs: " + done.stderr.strip())
os.chdir(where)
page = os.statvfs(".").f_frsize

def fill_space(leave_pages):
    fd = os.open("filler", os.O_WRONLY | os.O_CREAT, 0o600)
    block = b"\0" * page
    try:
        while True:
            os.write(fd, block)
    except OSError as e:
        assert e.errno == errno.ENOSPC, e
    size = os.fstat(fd).st_size // page * page
    os.ftruncate(fd, size - leave_pages * page)
    os.close(fd)

def fill_inodes():
    os.mkdir("inodes")
    try:
        for i in range(1 << 20):
            open(f"inodes/{i}", "wb").close()
    except OSError as e:
        assert e.errno == errno.ENOSPC, e

"""

# Trains there, makes the fault, trains again and reports the outcome and
# what data/ then holds.
TMPFS_SCRIPT = MOUNT_TMPFS + r"""
import _ovilex

def train(chunks):
    try:
        return ["ok", _ovilex.encode_train(chunks)]
    except OSError as e:
        return [type(e).__name__, list(e.args), e.errno, e.filename]

report = {"first": train(setup["first"]) if setup["first"] is not None else None}
fault = setup["fault"]
if fault == "space":
    fill_space(setup["leave_pages"])
elif fault == "inodes":
    fill_inodes()
elif fault == "read-only":
    subprocess.run(["mount", "-o", "remount,ro", where], check=True)
report["free_pages"] = os.statvfs(".").f_bavail
report["second"] = train(setup["second"])
report["listing"] = sorted(os.listdir("data")) if os.path.isdir("data") else None
report["files"] = {name: open("data/" + name, encoding="ascii").read()
                   for name in (report["listing"] or [])}
print(json.dumps(report))
"""

# The fault, the tmpfs options, the pages left free (None: not measured),
# whether a training ran before the fault, the file that fails, its message.
# Sizes are for pages of 4 KiB; the vocabulary texts take two.
LARGE = repeated_words(40, 6)
TMPFS_CASES = {
    "full": ("space", "size=64k", 0, True, "data/merges_record.json", no_space),
    # One page: the new merges file fits, and frees the old one's page when it
    # takes its place; the vocabulary needs two.
    "one-page-left": ("space", "size=64k", 1, True, "data/vocab_list.json", no_space),
    # The merges text needs more pages than are free: a short write first.
    "partly-written": ("none", "size=16k", None, True, "data/merges_record.json", no_space),
    "no-inode-for-the-temporary-file": ("inodes", "size=64k,nr_inodes=64", None, True,
                                        "data/merges_record.json", no_space),
    "no-inode-for-the-directory": ("inodes", "size=64k,nr_inodes=64", None, False,
                                   "data/merges_record.json", no_space),
    "read-only": ("read-only", "size=64k", None, True, "data/merges_record.json", read_only),
    "read-only-no-directory": ("read-only", "size=64k", None, False,
                               "data/merges_record.json", read_only),
}


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="mounting a tmpfs needs root")
@pytest.mark.skipif(os.sysconf("SC_PAGE_SIZE") != 4096, reason="cases sized for 4 KiB pages")
class TestFileSystemFaults:
    @pytest.mark.parametrize("case", TMPFS_CASES)
    def test_previous_files_stay_whole(self, case, tmp_path):
        fault, options, leave, trained_before, failing, message = TMPFS_CASES[case]
        second = LARGE if case == "partly-written" else SECOND
        old = records_of(ref.train(FIRST))
        new = records_of(ref.train(second))
        if case == "partly-written":
            assert len(new[0]) > 4096  # more than the one free page
        else:
            assert len(new[0]) <= 4096 < len(new[1])
        where = tmp_path / "mnt"
        where.mkdir()
        setup = {"dir": str(where), "options": options, "fault": fault, "leave_pages": leave,
                "first": FIRST if trained_before else None, "second": second}
        report = run_python(TMPFS_SCRIPT, json.dumps(setup))

        if trained_before:
            assert report["first"] == ["ok", [[list(p), n] for p, n in ref.train(FIRST)]]
        if leave is not None:
            assert report["free_pages"] == leave
        assert report["second"] == ["OSError", [message(failing)], None, None]
        if not trained_before:
            assert report["listing"] is None
            return
        assert report["listing"] == RECORDS  # no temporary file left
        expected = new[:1] + old[1:] if failing == "data/vocab_list.json" else old
        assert [report["files"][name] for name in RECORDS] == expected


# The package's own writers on a full tmpfs: a count file, token shards and
# the records of training from files. Each writes once, the file system is
# filled, and a larger second write fails: the first one's files stay whole
# and nothing else is left.
PACKAGE_WRITES_SCRIPT = MOUNT_TMPFS + r"""
sys.path[:0] = setup["paths"]
from ovilex import Tokenizer, count_files, write_shards

tokenizer = Tokenizer.train_chunks(["ab"] * 3, workdir="w")

def write(source):
    try:
        if setup["writer"] == "count":
            count_files([source], "out/in.counts")
        elif setup["writer"] == "shards":
            write_shards([source], "out", tokenizer=tokenizer)
        else:
            Tokenizer.train([source], workdir="out")
        return ["ok"]
    except OSError as e:
        return [type(e).__name__, str(e)]

def files():
    out = {}
    for top, _, names in os.walk("out"):
        for name in names:
            with open(os.path.join(top, name), "rb") as f:
                out[os.path.join(top, name)] = f.read().hex()
    return out

os.mkdir("first")
os.mkdir("second")
os.mkdir("out")
with open("first/in.txt", "w", encoding="utf-8") as f:
    f.write(setup["first"])
with open("second/in.txt", "w", encoding="utf-8") as f:
    f.write(" ".join(f"w{i}x{i * 7}" for i in range(setup["second_words"])))
report = {"first": write("first/in.txt")}
before = files()
fill_space(0)
report["second"] = write("second/in.txt")
report["unchanged"] = files() == before
report["listing"] = sorted(before)
print(json.dumps(report))
"""


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="mounting a tmpfs needs root")
@pytest.mark.parametrize("writer, listing, message", [
    ("count", ["out/in.counts"], "cannot write out/in.counts: No space left on device"),
    ("shards", ["out/in.bin", "out/in.idx"], "cannot write out/in.bin: No space left on device"),
    ("train", ["out/data/merges_record.json", "out/data/vocab_list.json"],
     "in out: failed to write data/merges_record.json: No space left on device (os error 28)"),
])
def test_package_writes_on_a_full_file_system(writer, listing, message, tmp_path):
    where = tmp_path / "mnt"
    where.mkdir()
    setup = {"dir": str(where), "options": "size=1m", "writer": writer,
             "paths": [str(HERE.parents[1] / "python"), BUILD_DIR],
             "first": "tiny text, a few words " * 3,
             "second_words": 30_000}
    report = run_python(PACKAGE_WRITES_SCRIPT, json.dumps(setup))
    assert report["first"] == ["ok"]
    assert report["listing"] == listing
    assert report["second"] == ["OSError", message]
    assert report["unchanged"]


class TestFileSizeLimit:
    """RLIMIT_FSIZE with SIGXFSZ ignored: a write past the limit is cut
    short and the next one fails with EFBIG. A limit of exactly a file's size
    is no failure. (test_train covers a limit in the middle of each file.)"""

    SCRIPT = """
        import json, os, resource, signal, sys
        import _ovilex
        first, second, limit = json.loads(sys.argv[1])
        _ovilex.encode_train(first)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        try:
            outcome = ["ok", _ovilex.encode_train(second)]
        except OSError as e:
            outcome = [type(e).__name__, list(e.args)]
        names = ["merges_record.json", "vocab_list.json"]
        outcome.append(sorted(os.listdir("data")))
        outcome.append([open("data/" + name).read() for name in names])
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
        outcome.append(_ovilex.encode_train(second))
        print(json.dumps(outcome))
        """

    # The file whose size sets the limit (None: a limit of 0), and the
    # difference from that size.
    @pytest.mark.parametrize("which, margin", [
        (None, 0), (0, -1), (0, 0), (1, -1), (1, 0), (1, 1)])
    def test_limit_at_a_file_size(self, which, margin):
        old = records_of(ref.train(FIRST))
        merges = [[list(p), n] for p, n in ref.train(SECOND)]
        new = records_of(ref.train(SECOND))
        assert len(old[0]) < len(new[0]) < len(old[1]) < len(new[1])
        limit = 0 if which is None else len(new[which]) + margin
        outcome = run_python(self.SCRIPT, json.dumps([FIRST, SECOND, limit]))
        if limit < len(new[0]):
            failing, files = RECORDS[0], old
        elif limit < len(new[1]):
            failing, files = RECORDS[1], [new[0], old[1]]
        else:
            failing, files = None, new
        result = (["ok", merges] if failing is None else
                  ["OSError", [f"failed to write data/{failing}: File too large (os error 27)"]])
        assert outcome == result + [RECORDS, files, merges]


class TestOpenFileLimit:
    """Every file descriptor taken: training fails naming the merges file and
    leaves both files as they were. One free descriptor is enough: the files
    are opened one at a time."""

    SCRIPT = """
        import json, os, resource, sys
        import _ovilex
        first, second, free = json.loads(sys.argv[1])
        _ovilex.encode_train(first)
        held = []
        try:
            while True:
                held.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
        for fd in held[len(held) - free:] if free else []:
            os.close(fd)
        try:
            outcome = ["ok", _ovilex.encode_train(second)]
        except OSError as e:
            outcome = [type(e).__name__, list(e.args)]
        for fd in held[: len(held) - free]:
            os.close(fd)
        outcome.append(sorted(os.listdir("data")))
        outcome.append([open("data/" + n).read() for n in ("merges_record.json", "vocab_list.json")])
        print(json.dumps(outcome))
        """

    @pytest.mark.parametrize("free", [0, 1])
    def test_no_descriptor_left(self, free):
        # A low limit, so that taking every descriptor is quick.
        script = "import resource; resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))\n" + \
            textwrap.dedent(self.SCRIPT)
        outcome = run_python(script, json.dumps([FIRST, SECOND, free]))
        merges = ref.train(SECOND)
        if free:
            expected = ["ok", [[list(p), n] for p, n in merges], RECORDS, records_of(merges)]
        else:
            message = "failed to write data/merges_record.json: Too many open files (os error 24)"
            expected = ["OSError", [message], RECORDS, records_of(ref.train(FIRST))]
        assert outcome == expected


# --------------------------------------------------------------------------
# An address-space limit


@pytest.mark.memory_faults
class TestAddressSpaceLimit:
    """Allocations fail under RLIMIT_AS part way through a call: MemoryError,
    nothing written, and the same process then gets the right results from
    every function."""

    SCRIPT = """
        import json, os, resource, sys
        import _ovilex

        MB = 1 << 20

        def vm_size():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024
            raise RuntimeError("no VmSize")

        _ovilex.encode_train(["warm up the pool"] * 3)
        os.remove("data/merges_record.json")
        os.remove("data/vocab_list.json")
        os.rmdir("data")
        case = sys.argv[1]
        if case == "train-one-long-chunk":
            # Its ids alone take twice the room of the text.
            size = 48 * MB
            args, extra = (["ab" * (size // 2)],), size * 3 // 2
            call = _ovilex.encode_train
        elif case == "train-many-distinct-chunks":
            args = ([f"{i:024d}" for i in range(1_000_000)],)
            extra = 16 * MB
            call = _ovilex.encode_train
        elif case == "encode-merges":
            args, extra = (["ab"], [((97, 98), 256)] * 10_000_000), 30 * MB
            call = _ovilex.encode
        elif case == "encode-chunks":
            # One shared str, but each item is copied: 1 GiB of native chunks.
            args, extra = (["a" * (16 * MB)] * 64, []), 512 * MB
            call = _ovilex.encode
        elif case == "encode-ids":
            # The copy fits; the ids (two bytes per byte) do not.
            args, extra = (["a" * (200 * MB)], []), 512 * MB
            call = _ovilex.encode
        elif case == "decode-text":
            # 2 GiB of decoded text from a small vocabulary.
            args, extra = ([1] * 64, {1: b"x" * (32 * MB)}), 512 * MB
            call = _ovilex.decode_string
        else:
            # 512 MiB of copied bytes from one shared value.
            value = b"x" * (8 * 1024)
            args, extra = ([1], {i: value for i in range(65536)}), 128 * MB
            call = _ovilex.decode_string
        limit = vm_size() + extra
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            call(*args)
            outcome = ["returned"]
        except MemoryError as e:
            outcome = ["MemoryError"]
        del args
        outcome.append(os.listdir("."))
        outcome.append(_ovilex.encode_train(["abab"] * 3))
        outcome.append(_ovilex.encode(["abab", "ab"], outcome[-1]))
        outcome.append(_ovilex.decode_string([257, 256], {256: b"ab", 257: b"\\xc3\\xa9"}))
        outcome.append(sorted(os.listdir("data")))
        print(json.dumps(outcome))
        """

    @pytest.mark.parametrize("case", ["train-one-long-chunk", "train-many-distinct-chunks",
                                      "encode-merges", "encode-chunks", "encode-ids",
                                      "decode-text", "decode-vocab-values"])
    def test_memory_error_then_module_still_works(self, case):
        outcome = run_python(self.SCRIPT, case)
        merges = [[[97, 98], 256], [[256, 256], 257]]
        assert outcome == ["MemoryError", [], merges, [257, 256], "\u00e9ab", RECORDS]


# --------------------------------------------------------------------------
# Injected failures of the module's own allocations


@pytest.fixture(scope="module")
def alloc_fault(tmp_path_factory):
    """The preloaded library of alloc_fault.cpp, built for this run."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the allocation-fault library")
    out = tmp_path_factory.mktemp("alloc_fault") / "alloc_fault.so"
    subprocess.run([compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-o", str(out),
                    str(HERE / "alloc_fault.cpp")], check=True, timeout=300)
    return {"LD_PRELOAD": str(out)}


SWEEP_PRELUDE = """
    import ctypes, json, os, sys
    import _ovilex
    fault = ctypes.CDLL(None)
    fault.fault_disarm.restype = ctypes.c_long
    if not hasattr(fault, "fault_arm"):
        raise SystemExit("the allocation-fault library is not loaded")

    def listing():
        return sorted(os.listdir("data")) if os.path.isdir("data") else []

    def attempt(call):
        try:
            return "ok", call()
        except BaseException as e:
            return f"{type(e).__name__}: {e}", None
    """


@pytest.mark.memory_faults
class TestInjectedAllocationFailures:
    SWEEP = SWEEP_PRELUDE + """
    name, sticky, data = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
    old = data["old"]
    if name == "encode_train":
        call = lambda: _ovilex.encode_train(data["chunks"])
        want = [((l, r), n) for (l, r), n in data["want"]]
    elif name == "encode":
        merges = [((l, r), n) for (l, r), n in data["merges"]]
        call = lambda: _ovilex.encode(data["chunks"], merges)
        want = data["want"]
    else:
        vocab = {int(i): bytes(b) for i, b in data["vocab"].items()}
        call = lambda: _ovilex.decode_string(data["ids"], vocab)
        want = data["want"]

    def files():
        return [open("data/" + n).read() if os.path.exists("data/" + n) else None
                for n in ("merges_record.json", "vocab_list.json")]

    outcomes, bad = {}, []
    n = 0
    while n < 5000:
        if name == "encode_train":
            os.makedirs("data", exist_ok=True)
            for text, path in zip(old, ("merges_record.json", "vocab_list.json")):
                with open("data/" + path, "w") as f:
                    f.write(text)
        fault.fault_arm(n, sticky)
        kind, got = attempt(call)
        fired = fault.fault_disarm()
        if kind == "ok" and got != want:
            kind = "wrong result"
        outcomes[kind] = outcomes.get(kind, 0) + 1
        if name == "encode_train":
            state = files()
            allowed = [data["new"]] if kind == "ok" else [old, [data["new"][0], old[1]]]
            if state not in allowed or listing() != ["merges_record.json", "vocab_list.json"]:
                bad.append([n, kind, listing()])
        again = call()
        if again != want:
            bad.append([n, "wrong result after the fault"])
        if fired == 0:
            break
        n += 1
    print(json.dumps({"allocations": n, "outcomes": outcomes, "bad": bad}))
    """

    @pytest.mark.parametrize("sticky", [0, 1], ids=["one-fails", "all-fail-from-then-on"])
    @pytest.mark.parametrize("name", ["encode_train", "encode", "decode_string"])
    def test_each_allocation_failing_in_turn(self, name, sticky, alloc_fault):
        """The n-th allocation of the call fails, for n = 0, 1, ... until the
        call makes no more: each time MemoryError, the record files either
        the old ones or the new merges with the old vocabulary, and the next
        call right."""
        chunks = SECOND + ["x" * 300] * 3 + ["\u00e9t\u00e9"] * 4 + ["abab" * 40] * 2
        merges = ref.train(chunks)
        ids = ref.encode(chunks, merges)
        vocab = ref.vocab_from_merges(merges)
        data = {"old": records_of(ref.train(FIRST)), "new": records_of(merges),
                "chunks": chunks, "merges": merges, "want": merges, "ids": ids,
                "vocab": {i: list(b) for i, b in vocab.items()}}
        if name == "encode":
            data["want"] = ids
        elif name == "decode_string":
            data["want"] = "".join(chunks)
        report = run_python(self.SWEEP, name, sticky, json.dumps(data), env=alloc_fault)
        assert report["bad"] == []
        assert report["outcomes"] == {"MemoryError: ": report["allocations"], "ok": 1}
        assert report["allocations"] >= 5

    WORKERS = SWEEP_PRELUDE + """
    with open(sys.argv[1]) as f:
        chunks = json.load(f)
    want = _ovilex.encode_train(chunks)
    threads = len(os.listdir("/proc/self/task"))
    outcomes = []
    for _ in range(5):
        fault.fault_arm_workers()
        kind, _ = attempt(lambda: _ovilex.encode_train(chunks))
        outcomes.append([kind, fault.fault_disarm() > 0])
        outcomes.append(_ovilex.encode_train(chunks) == want)
    print(json.dumps({"threads": [threads, len(os.listdir("/proc/self/task"))],
                      "outcomes": outcomes, "merges": len(want)}))
    """

    def test_failures_on_the_workers(self, alloc_fault, tmp_path):
        """Every allocation on a worker fails while the pairs are counted: the
        failure reaches the caller as MemoryError and the workers stay."""
        corpus = tmp_path / "corpus.json"
        corpus.write_text(json.dumps(repeated_words(20_000, 10)))  # enough words to divide
        report = run_python(self.WORKERS, corpus,
                            env=dict(alloc_fault, OVILEX_NUM_THREADS="4"))
        assert report["outcomes"] == [["MemoryError: ", True], True] * 5
        assert report["threads"] == [1 + 4, 1 + 4]
        assert report["merges"] > 100

    POOL_START = SWEEP_PRELUDE + """
    import signal
    # Each child process starts a pool of its own at its first training call;
    # its n-th allocation from the start of that call fails.
    reports = []
    for n in range(200):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            fault.fault_arm(n, 0)
            kind, _ = attempt(lambda: _ovilex.encode_train(["abab"] * 3))
            fired = fault.fault_disarm()
            again = _ovilex.encode_train(["abab"] * 3)
            report = [n, kind, fired, again == [((97, 98), 256), ((256, 256), 257)],
                      len(os.listdir("/proc/self/task"))]
            os.write(write_end, json.dumps(report).encode())
            os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            reports.append(json.loads(pipe.read()))
        os.waitpid(pid, 0)
        if reports[-1][2] == 0:
            break
    print(json.dumps(reports))
    """

    def test_pool_start_failing_leaves_no_stray_workers(self, alloc_fault):
        """An allocation that fails while the workers are being started ends
        the call with MemoryError; the workers started so far belong to the
        pool that a later call completes, so the process ends up with exactly
        the pool's threads."""
        reports = run_python(self.POOL_START, env=dict(alloc_fault, OVILEX_NUM_THREADS="4"))
        assert reports[-1][1:4] == ["ok", 0, True]
        assert len(reports) > 5
        for n, kind, fired, right, threads in reports[:-1]:
            assert (kind, fired, right, threads) == ("MemoryError: ", 1, True, 1 + 4), n


class TestInterpreterAllocationFailures:
    """The interpreter's own allocations (results, UTF-8 forms, exceptions)
    fail one at a time through _testcapi: MemoryError, never a crash or an
    internal error, and the next call is right."""

    SCRIPT = """
        import json, sys
        import _testcapi
        import _ovilex
        name, data = sys.argv[1], json.loads(sys.argv[2])
        function = getattr(_ovilex, name)

        def arguments():
            if name == "build_info":
                return ()
            # Fresh str objects, whose UTF-8 form is not cached yet.
            chunks = [c.encode().decode() for c in data["chunks"]]
            if name == "encode_train":
                return (chunks,)
            merges = [((l, r), n) for (l, r), n in data["merges"]]
            if name == "encode":
                return (chunks, merges)
            return (list(data["ids"]), {int(i): bytes(b) for i, b in data["vocab"].items()})

        want = function(*arguments())
        outcomes = {}
        for n in range(300):
            args = arguments()
            _testcapi.set_nomemory(n, n + 1)
            try:
                got = function(*args)
            except BaseException as e:
                got = e
            _testcapi.remove_mem_hooks()
            kind = type(got).__name__ if isinstance(got, BaseException) else (
                "ok" if got == want else "wrong result")
            outcomes[kind] = outcomes.get(kind, 0) + 1
            if function(*arguments()) != want:
                outcomes["wrong after"] = outcomes.get("wrong after", 0) + 1
        print(json.dumps([want, outcomes]))
        """

    @pytest.mark.parametrize("name", ["build_info", "encode_train", "encode", "decode_string"])
    def test_each_interpreter_allocation_failing(self, name):
        pytest.importorskip("_testcapi")
        chunks = ["h\u00e9llo", "h\u00e9lp", "h\u00e9ll", "w\u00f6rld"] * 3
        merges = ref.train(chunks)
        data = {"chunks": chunks, "merges": merges, "ids": ref.encode(chunks, merges),
                "vocab": {i: list(b) for i, b in ref.vocab_from_merges(merges).items()}}
        want, outcomes = run_python(self.SCRIPT, name, json.dumps(data))
        assert set(outcomes) == {"ok", "MemoryError"}
        assert outcomes["MemoryError"] >= 1
        assert want == {"build_info": _ovilex.build_info(),
                        "encode_train": [[list(p), n] for p, n in merges],
                        "encode": data["ids"], "decode_string": "".join(chunks)}[name]
