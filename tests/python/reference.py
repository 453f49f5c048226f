"""Naive pure-Python references for the module's results: merge application,
a trainer, the vocabulary and the two record texts.

Written for clarity, not speed: each follows the rule in its most literal
form, so that the native fast paths can be checked against it. The trainer
counts all pairs afresh and rewrites every word on every iteration, exactly
as the merge rule reads.
"""

import contextlib
import pathlib
from collections import Counter

MAX_MERGES = 7744
MIN_MERGE_FREQ = 3

Merge = tuple[tuple[int, int], int]


def merge_word(word: list[int], left: int, right: int, new: int) -> list[int]:
    """One left-to-right pass: each (left, right) not overlapping an earlier
    replacement becomes new; ids made by this pass are not looked at again."""
    out = []
    i = 0
    n = len(word)
    while i < n:
        if i < n - 1 and word[i] == left and word[i + 1] == right:
            out.append(new)
            i += 2
        else:
            out.append(word[i])
            i += 1
    return out


def encode(chunks: list[str], merges: list[Merge]) -> list[int]:
    """Every merge, in list order, applied to every chunk's word; the words
    concatenated. No merge looks across two chunks."""
    words = [list(chunk.encode("utf-8")) for chunk in chunks]
    for (left, right), new in merges:
        words = [merge_word(word, left, right, new) for word in words]
    return [token for word in words for token in word]


def pair_freqs(words: Counter) -> Counter:
    """Every adjacent pair of every distinct word, weighted by its count."""
    freqs = Counter()
    for word, freq in words.items():
        for pair in zip(word, word[1:]):
            freqs[pair] += freq
    return freqs


def train(chunks: list[str], vocab_size: int = 256 + MAX_MERGES,
          min_frequency: int = MIN_MERGE_FREQ, max_token_length: int | None = None) -> list[Merge]:
    """The merge list of encode_train, as [((left, right), new), ...]; with
    other limits, that of a training to vocab_size learned ids, of pairs
    seen at least min_frequency times, whose bytes joined are at most
    max_token_length long (the rest passed over)."""
    words = Counter(tuple(chunk.encode("utf-8")) for chunk in chunks)
    merges = []
    length = {i: 1 for i in range(256)}
    while len(merges) < vocab_size - 256:
        freqs = {pair: freq for pair, freq in pair_freqs(words).items()
                 if max_token_length is None
                 or length[pair[0]] + length[pair[1]] <= max_token_length}
        if not freqs:
            break
        (left, right), freq = max(freqs.items(), key=lambda item: (item[1], item[0]))
        if freq < min_frequency:
            break
        new = 256 + len(merges)
        length[new] = length[left] + length[right]
        rewritten = Counter()
        for word, count in words.items():
            rewritten[tuple(merge_word(word, left, right, new))] += count
        words = rewritten
        merges.append(((left, right), new))
    return merges


def vocab_from_merges(merges: list[Merge]) -> dict[int, bytes]:
    """Bytes of every id: 0..255 stand for themselves, each merge's new id for
    the bytes of its left part followed by those of its right part."""
    vocab = {i: bytes([i]) for i in range(256)}
    for (left, right), new in merges:
        vocab[new] = vocab[left] + vocab[right]
    return vocab


def _array(lines: list[str]) -> str:
    """One entry per line, a comma after all but the last, no final line feed."""
    return "[\n" + "".join(line + (",\n" if i + 1 < len(lines) else "\n")
                           for i, line in enumerate(lines)) + "]"


def merges_record_text(merges: list[Merge]) -> bytes:
    return _array([f'  {{"pair":[{left},{right}],"id":{new}}}'
                   for (left, right), new in merges]).encode("ascii")


def vocab_list_text(vocab: dict[int, bytes]) -> bytes:
    return _array([f'  {{"id":{i},"bytes":[{",".join(map(str, vocab[i]))}]}}'
                   for i in sorted(vocab)]).encode("ascii")


def record_texts(merges: list[Merge]) -> tuple[bytes, bytes]:
    """The two record files that a training which made |merges| writes."""
    return merges_record_text(merges), vocab_list_text(vocab_from_merges(merges))


def records(workdir: pathlib.Path = pathlib.Path()) -> tuple[bytes, bytes]:
    """The bytes of the two record files in workdir/data (by default in the
    working directory)."""
    return tuple((workdir / "data" / name).read_bytes()
                 for name in ("merges_record.json", "vocab_list.json"))


def encode_train_records(chunks: list[str], workdir: pathlib.Path
                         ) -> tuple[list[Merge], tuple[bytes, bytes]]:
    """What _ovilex.encode_train returns and writes when run in workdir (made
    here): its merges and the bytes of its two record files."""
    import _ovilex

    workdir.mkdir()
    with contextlib.chdir(workdir):
        merges = _ovilex.encode_train(chunks)
    return merges, records(workdir)
