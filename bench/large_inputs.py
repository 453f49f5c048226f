"""Large inputs: time, peak memory and a check of the result for each case.

    python3.14 bench/large_inputs.py [--build-dir DIR] [--no-build] [CASE...]

Cases: ten million chunks (encode_train, encode); one chunk of 10 MB
(encode_train, encode, decode_string); a merge list whose ids reach 65535
(encode, and decode_string of its ids); a vocabulary of 65536 entries
(decode_string). Each case runs in a fresh process, which builds its inputs,
then makes the one measured call in a scratch directory and checks the
result. Columns: the call's time; the process's peak resident size
(ru_maxrss, inputs included); what the call added to the resident size it
started with (VmHWM after resetting it just before the call); the check.
The exit status is 1 when a check fails.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import pathlib
import random
import resource
import subprocess
import sys
import tempfile
import time
from collections import Counter

from common import reset_peak, status_kb

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
MB = 1 << 20
MAX_ID = 65535

Merge = tuple[tuple[int, int], int]


# --------------------------------------------------------------------------
# Inputs


def word_pool(count: int, seed: int) -> list[str]:
    """Distinct words of 1 to 12 letters, a few of them not ASCII."""
    rng = random.Random(seed)
    letters = "etaoinshrdlcumwfgypbvkjxqz" * 4 + "\u00e9\u00fc\u00df\u0436\u03bb\u65e5"
    words: set[str] = set()
    while len(words) < count:
        words.add(("" if rng.random() < 0.7 else " ") +
                  "".join(rng.choice(letters) for _ in range(rng.randint(1, 12))))
    return sorted(words)


def zipf_chunks(pool: list[str], count: int, seed: int) -> list[str]:
    """|count| chunks drawn from |pool|, frequent words first."""
    rng = random.Random(seed)
    weights = [1 / (rank + 1) for rank in range(len(pool))]
    return rng.choices(pool, weights=weights, k=count)


def long_text(size: int, seed: int) -> str:
    """About |size| bytes of UTF-8: pool words one after the other."""
    pool = word_pool(5000, seed)
    parts = zipf_chunks(pool, size // 5, seed)
    text = "".join(parts)
    while len(text.encode()) > size:
        text = text[: len(text) * 9 // 10]
    return text


def vocab_of(merges: list[Merge]) -> dict[int, bytes]:
    vocab = {b: bytes([b]) for b in range(256)}
    for (left, right), new in merges:
        vocab[new] = vocab[left] + vocab[right]
    return vocab


def spread_ids(merges: list[Merge]) -> tuple[list[Merge], dict[int, int]]:
    """|merges| with new ids spread over 256..65535 (the last one 65535) and
    the list padded with merges of pairs that UTF-8 text never holds, so that
    every id from 256 to 65535 is made once; also the renaming."""
    step = (MAX_ID - 255) // len(merges)
    rename = {b: b for b in range(256)}
    for k, (_, new) in enumerate(merges):
        rename[new] = MAX_ID - (len(merges) - 1 - k) * step
    used = set(rename.values())
    free = [i for i in range(256, MAX_ID + 1) if i not in used]
    # Byte 0xFF never occurs in UTF-8, so neither do these pairs.
    filler = [((0xFF, i % 256), i) for i in free]
    renamed = [((rename[l], rename[r]), rename[n]) for (l, r), n in merges]
    return filler[: len(filler) // 2] + renamed + filler[len(filler) // 2:], rename


def trained_merges(chunks: list[str]) -> list[Merge]:
    import _ovilex
    return _ovilex.encode_train(chunks)


# --------------------------------------------------------------------------
# Checks


def merges_record_text(merges: list[Merge]) -> str:
    lines = [f'  {{"pair":[{l},{r}],"id":{n}}}' for (l, r), n in merges]
    return "[\n" + ",\n".join(lines) + ("\n" if lines else "") + "]"


def vocab_list_text(vocab: dict[int, bytes]) -> str:
    lines = [f'  {{"id":{i},"bytes":[{",".join(map(str, vocab[i]))}]}}' for i in sorted(vocab)]
    return "[\n" + ",\n".join(lines) + "\n]"


def best_pair(freqs: Counter) -> tuple[int, int]:
    """The pair training takes first: greatest count, then greater ids."""
    return max(freqs.items(), key=lambda item: (item[1], item[0]))[0]


def check_training(merges: list[Merge], first_pair: tuple[int, int]) -> list[str]:
    problems = []
    if not merges:
        return ["no merges"]
    if [n for _, n in merges] != list(range(256, 256 + len(merges))):
        problems.append("new ids are not 256, 257, ...")
    if any(l >= n or r >= n for (l, r), n in merges):
        problems.append("a merge names an id made after it")
    if merges[0][0] != first_pair:
        problems.append(f"first merge {merges[0][0]}, expected {first_pair}")
    files = [pathlib.Path("data", n).read_text() for n in ("merges_record.json", "vocab_list.json")]
    if files != [merges_record_text(merges), vocab_list_text(vocab_of(merges))]:
        problems.append("record files differ from the result")
    return problems


# --------------------------------------------------------------------------
# The cases: each returns (inputs, call, check); check(result) -> problems


def case_train_10m_chunks():
    pool = word_pool(50_000, 1)
    chunks = zipf_chunks(pool, 10_000_000, 2)
    import _ovilex

    def check(merges):
        counts = Counter(chunks)
        freqs: Counter = Counter()
        for word, n in counts.items():
            b = word.encode()
            for pair in zip(b, b[1:]):
                freqs[pair] += n
        problems = check_training(merges, best_pair(freqs))
        if len(merges) != 7744:
            problems.append(f"{len(merges)} merges, expected the cap 7744")
        # Only the multiset counts: the distinct words, each as often.
        again = _ovilex.encode_train([w for w, n in sorted(counts.items()) for _ in range(n)])
        if again != merges:
            problems.append("another order of the same chunks trains other merges")
        ids = _ovilex.encode(chunks[:100_000], merges)
        if _ovilex.decode_string(ids, vocab_of(merges)) != "".join(chunks[:100_000]):
            problems.append("round trip of the first chunks failed")
        return problems
    return lambda: _ovilex.encode_train(chunks), check


def case_encode_10m_chunks():
    pool = word_pool(50_000, 1)
    chunks = zipf_chunks(pool, 10_000_000, 2)
    merges = trained_merges(pool * 3)
    import _ovilex

    def check(ids):
        alone = dict(zip(pool, (_ovilex.encode([w], merges) for w in pool)))
        expected = [t for c in chunks for t in alone[c]]
        problems = [] if ids == expected else ["ids differ from the words encoded one by one"]
        if _ovilex.decode_string(ids, vocab_of(merges)) != "".join(chunks):
            problems.append("round trip failed")
        return problems
    return lambda: _ovilex.encode(chunks, merges), check


def case_train_10mb_chunk():
    text = long_text(10 * MB, 3)
    import _ovilex

    def check(merges):
        data = text.encode()
        problems = check_training(merges, best_pair(Counter(zip(data, data[1:]))))
        ids = _ovilex.encode([text], merges)
        if _ovilex.decode_string(ids, vocab_of(merges)) != text:
            problems.append("round trip failed")
        return problems
    return lambda: _ovilex.encode_train([text]), check


def case_encode_10mb_chunk():
    text = long_text(10 * MB, 3)
    merges = trained_merges(zipf_chunks(word_pool(5000, 3), 200_000, 3))
    import _ovilex

    def check(ids):
        problems = []
        if _ovilex.decode_string(ids, vocab_of(merges)) != text:
            problems.append("round trip failed")
        if not len(text) // 8 < len(ids) < len(text.encode()):
            problems.append(f"{len(ids)} ids for {len(text.encode())} bytes")
        return problems
    return lambda: _ovilex.encode([text], merges), check


def case_decode_10mb_chunk():
    text = long_text(10 * MB, 3)
    import _ovilex
    merges = trained_merges(zipf_chunks(word_pool(5000, 3), 200_000, 3))
    ids = _ovilex.encode([text], merges)
    vocab = vocab_of(merges)

    def check(decoded):
        return [] if decoded == text else ["round trip failed"]
    return lambda: _ovilex.decode_string(ids, vocab), check


def ids_65535_inputs():
    pool = word_pool(20_000, 4)
    merges = trained_merges(zipf_chunks(pool, 300_000, 4))
    spread, rename = spread_ids(merges)
    chunks = zipf_chunks(pool, 1_000_000, 5)
    return merges, spread, rename, chunks


def case_encode_ids_65535():
    merges, spread, rename, chunks = ids_65535_inputs()
    import _ovilex
    plain = _ovilex.encode(chunks, merges)

    def check(ids):
        problems = []
        if len(spread) != MAX_ID - 255 or max(n for _, n in spread) != MAX_ID:
            problems.append("the merge list does not reach 65535")
        if ids != [rename[t] for t in plain]:
            problems.append("ids differ from the renamed ids of the plain merge list")
        if MAX_ID not in ids:
            problems.append("id 65535 never made")
        return problems
    return lambda: _ovilex.encode(chunks, spread), check


def case_decode_ids_65535():
    merges, spread, rename, chunks = ids_65535_inputs()
    import _ovilex
    ids = _ovilex.encode(chunks, spread)
    vocab = vocab_of(spread)

    def check(text):
        problems = [] if text == "".join(chunks) else ["round trip failed"]
        if len(vocab) != MAX_ID + 1 or max(ids) != MAX_ID:
            problems.append("ids or vocabulary do not reach 65535")
        return problems
    return lambda: _ovilex.decode_string(ids, vocab), check


def case_decode_vocab_65536():
    rng = random.Random(6)
    alphabet = "abc\u00e9\u20ac\U0001d11e"
    vocab = {i: "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 4))).encode()
             for i in range(MAX_ID + 1)}
    ids = [rng.randrange(MAX_ID + 1) for _ in range(5_000_000)]
    import _ovilex

    def check(text):
        return [] if text.encode() == b"".join(vocab[i] for i in ids) else ["text differs"]
    return lambda: _ovilex.decode_string(ids, vocab), check


CASES = {
    "encode_train 10M chunks": case_train_10m_chunks,
    "encode 10M chunks": case_encode_10m_chunks,
    "encode_train one 10 MB chunk": case_train_10mb_chunk,
    "encode one 10 MB chunk": case_encode_10mb_chunk,
    "decode_string 10 MB round trip": case_decode_10mb_chunk,
    "encode, ids to 65535": case_encode_ids_65535,
    "decode_string, ids to 65535": case_decode_ids_65535,
    "decode_string, 65536-entry vocab": case_decode_vocab_65536,
}


# --------------------------------------------------------------------------
# Measuring


def child(name: str, build_dir: str) -> None:
    sys.path.insert(0, build_dir)
    with tempfile.TemporaryDirectory(prefix="ovilex-large-") as scratch:
        os.chdir(scratch)
        call, check = CASES[name]()
        gc.collect()
        # Freed heap that was never given back would hide the call's own growth.
        try:
            ctypes.CDLL(None).malloc_trim(0)
        except (AttributeError, OSError):
            pass
        reset = reset_peak()
        base_kb = status_kb("VmRSS") if reset else status_kb("VmHWM")
        start = time.perf_counter()
        result = call()
        seconds = time.perf_counter() - start
        over_kb = status_kb("VmHWM") - base_kb
        peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            problems = check(result)
        except Exception as e:  # a check that cannot run is a failed check
            problems = [f"check raised {type(e).__name__}: {e}"]
        os.chdir("/")
    print(json.dumps({"seconds": seconds, "peak_mb": peak_kb / 1024,
                      "over_mb": over_kb / 1024, "reset": reset, "problems": problems}))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", metavar="CASE", help="substrings of case names")
    parser.add_argument("--build-dir", default=os.environ.get("OVILEX_BUILD_DIR", "build-bench"))
    parser.add_argument("--no-build", action="store_true", help="use the module as built")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    build_dir = pathlib.Path(args.build_dir)
    if not build_dir.is_absolute():
        build_dir = ROOT / build_dir
    if args.child:
        child(args.child, str(build_dir))
        return 0
    if not args.no_build:
        sys.path.insert(0, str(HERE))
        import common
        common.build(build_dir, [])
    names = [n for n in CASES if not args.cases or any(c in n for c in args.cases)]
    if not names:
        parser.error("no case matches")

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
          f"OVILEX_NUM_THREADS={os.environ.get('OVILEX_NUM_THREADS', 'unset')}")
    header = f"{'case':<34} {'time s':>8} {'peak RSS MB':>12} {'over base MB':>13}  check"
    print(header)
    print("-" * len(header))
    failed = 0
    for name in names:
        done = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()),
                               "--child", name, "--build-dir", str(build_dir)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            failed += 1
            last = (done.stderr.strip().splitlines() or ["no output"])[-1]
            print(f"{name:<34} {'-':>8} {'-':>12} {'-':>13}  FAILED: exit {done.returncode}: {last}")
            continue
        r = json.loads(done.stdout)
        verdict = "ok" if not r["problems"] else "FAILED: " + "; ".join(r["problems"])
        failed += bool(r["problems"])
        over = f"{r['over_mb']:.0f}" + ("" if r["reset"] else "*")
        print(f"{name:<34} {r['seconds']:>8.2f} {r['peak_mb']:>12.0f} {over:>13}  {verdict}",
              flush=True)
    print("over base: the peak during the call above the resident size it started with"
          " (* peak not resettable: from the process's peak)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
