"""Large inputs: ten million chunks, one chunk of 10 MB, a merge list whose
ids reach 65535 and a vocabulary of 65536 entries. Each case runs in a fresh
process (this file run as a script) that builds its inputs, makes the call in
a scratch directory and checks the result. They take minutes and gigabytes,
so they run only under OVILEX_CHECK_MODE=long (tools/check --long faults)."""

import os
import pathlib
import random
import subprocess
import sys
from collections import Counter

import pytest

import _ovilex
import reference as ref

pytestmark = pytest.mark.skipif(os.environ.get("OVILEX_CHECK_MODE") != "long",
                                reason="large inputs run under OVILEX_CHECK_MODE=long")

MAX_ID = 65535
TEN_MB = 10_000_000


# --------------------------------------------------------------------------
# Inputs


def word_pool(count, seed):
    """Distinct words of 1 to 12 letters, a few of them not ASCII, some with
    a leading space."""
    rng = random.Random(seed)
    letters = "etaoinshrdlcumwfgypbvkjxqz" * 4 + "\u00e9\u00fc\u00df\u0436\u03bb\u65e5"
    words = set()
    while len(words) < count:
        words.add(("" if rng.random() < 0.7 else " ") +
                  "".join(rng.choice(letters) for _ in range(rng.randint(1, 12))))
    return sorted(words)


def zipf_chunks(pool, count, seed):
    """|count| chunks drawn from |pool|, the first words the most frequent."""
    rng = random.Random(seed)
    return rng.choices(pool, weights=[1 / (rank + 1) for rank in range(len(pool))], k=count)


def long_text(size, seed):
    """At most |size| bytes of UTF-8: pool words one after the other."""
    text = "".join(zipf_chunks(word_pool(5000, seed), size // 5, seed))
    while len(text.encode()) > size:
        text = text[: len(text) * 9 // 10]
    return text


def small_merges():
    return _ovilex.encode_train(zipf_chunks(word_pool(5000, 3), 200_000, 3))


def spread_ids(merges):
    """|merges| with the new ids spread over 256..65535 (the last one 65535),
    padded with merges of pairs that UTF-8 text never holds so that every id
    from 256 to 65535 is made once; and the renaming of the ids."""
    step = (MAX_ID - 255) // len(merges)
    rename = {b: b for b in range(256)}
    for k, (_, new) in enumerate(merges):
        rename[new] = MAX_ID - (len(merges) - 1 - k) * step
    used = set(rename.values())
    # Byte 0xFF never occurs in UTF-8, so neither do these pairs.
    filler = [((0xFF, i % 256), i) for i in range(256, MAX_ID + 1) if i not in used]
    renamed = [((rename[left], rename[right]), rename[new]) for (left, right), new in merges]
    return filler[: len(filler) // 2] + renamed + filler[len(filler) // 2:], rename


def ids_65535_inputs():
    pool = word_pool(20_000, 4)
    merges = _ovilex.encode_train(zipf_chunks(pool, 300_000, 4))
    spread, rename = spread_ids(merges)
    assert len(spread) == MAX_ID - 255 and max(n for _, n in spread) == MAX_ID, \
        "the merge list does not reach 65535"
    return merges, spread, rename, zipf_chunks(pool, 1_000_000, 5)


# --------------------------------------------------------------------------
# Checks


def best_pair(freqs):
    """The pair training takes first: greatest count, then greater ids."""
    return max(freqs.items(), key=lambda item: (item[1], item[0]))[0]


def check_training(merges, first_pair):
    assert merges, "no merges"
    assert [n for _, n in merges] == list(range(256, 256 + len(merges))), \
        "new ids are not 256, 257, ..."
    assert all(left < new and right < new for (left, right), new in merges), \
        "a merge names an id made after it"
    assert merges[0][0] == first_pair, f"first merge {merges[0][0]}, expected {first_pair}"
    records = [pathlib.Path("data", name).read_bytes()
               for name in ("merges_record.json", "vocab_list.json")]
    assert records == list(ref.record_texts(merges)), \
        "record files differ from the result"


def round_trip(ids, merges, text):
    assert _ovilex.decode_string(ids, ref.vocab_from_merges(merges)) == text, "round trip failed"


# --------------------------------------------------------------------------
# The cases


def encode_train_10m_chunks():
    chunks = zipf_chunks(word_pool(50_000, 1), 10_000_000, 2)
    merges = _ovilex.encode_train(chunks)
    counts = Counter(chunks)
    freqs = Counter()
    for word, n in counts.items():
        data = word.encode()
        for pair in zip(data, data[1:]):
            freqs[pair] += n
    check_training(merges, best_pair(freqs))
    assert len(merges) == ref.MAX_MERGES, f"{len(merges)} merges, expected {ref.MAX_MERGES}"
    # Only the multiset counts: the distinct words, each as often.
    again = _ovilex.encode_train([w for w, n in sorted(counts.items()) for _ in range(n)])
    assert again == merges, "another order of the same chunks trains other merges"
    round_trip(_ovilex.encode(chunks[:100_000], merges), merges, "".join(chunks[:100_000]))


def encode_10m_chunks():
    pool = word_pool(50_000, 1)
    chunks = zipf_chunks(pool, 10_000_000, 2)
    merges = _ovilex.encode_train(pool * 3)
    ids = _ovilex.encode(chunks, merges)
    alone = {w: _ovilex.encode([w], merges) for w in pool}
    assert ids == [t for c in chunks for t in alone[c]], \
        "ids differ from the words encoded one by one"
    round_trip(ids, merges, "".join(chunks))


def encode_train_10mb_chunk():
    text = long_text(TEN_MB, 3)
    merges = _ovilex.encode_train([text])
    data = text.encode()
    check_training(merges, best_pair(Counter(zip(data, data[1:]))))
    round_trip(_ovilex.encode([text], merges), merges, text)


def encode_10mb_chunk():
    text = long_text(TEN_MB, 3)
    merges = small_merges()
    ids = _ovilex.encode([text], merges)
    round_trip(ids, merges, text)
    assert len(text) // 8 < len(ids) < len(text.encode()), \
        f"{len(ids)} ids for {len(text.encode())} bytes"


def decode_string_10mb_chunk():
    text = long_text(TEN_MB, 3)
    merges = small_merges()
    ids = _ovilex.encode([text], merges)
    assert _ovilex.decode_string(ids, ref.vocab_from_merges(merges)) == text, "round trip failed"


def encode_ids_to_65535():
    merges, spread, rename, chunks = ids_65535_inputs()
    plain = _ovilex.encode(chunks, merges)
    ids = _ovilex.encode(chunks, spread)
    assert ids == [rename[t] for t in plain], \
        "ids differ from the renamed ids of the plain merge list"
    assert MAX_ID in ids, "id 65535 never made"


def decode_string_ids_to_65535():
    _, spread, _, chunks = ids_65535_inputs()
    ids = _ovilex.encode(chunks, spread)
    vocab = ref.vocab_from_merges(spread)
    assert len(vocab) == MAX_ID + 1 and max(ids) == MAX_ID, "ids or vocabulary do not reach 65535"
    assert _ovilex.decode_string(ids, vocab) == "".join(chunks), "round trip failed"


def decode_string_vocab_65536():
    rng = random.Random(6)
    alphabet = "abc\u00e9\u20ac\U0001d11e"
    vocab = {i: "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 4))).encode()
             for i in range(MAX_ID + 1)}
    ids = [rng.randrange(MAX_ID + 1) for _ in range(5_000_000)]
    text = _ovilex.decode_string(ids, vocab)
    assert text.encode() == b"".join(vocab[i] for i in ids), "text differs"


CASES = {f.__name__: f for f in (
    encode_train_10m_chunks, encode_10m_chunks, encode_train_10mb_chunk, encode_10mb_chunk,
    decode_string_10mb_chunk, encode_ids_to_65535, decode_string_ids_to_65535,
    decode_string_vocab_65536,
)}


@pytest.mark.parametrize("case", CASES)
def test_large_input(case, tmp_path, package_env):
    done = subprocess.run([sys.executable, __file__, case], cwd=tmp_path, env=package_env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-4000:]


if __name__ == "__main__":
    CASES[sys.argv[1]]()
