"""A naive pure-Python trainer and the two record texts, for checking
encode_train against.

Written for clarity, not speed: every iteration counts all pairs afresh and
rewrites every word, exactly as the merge rule reads.
"""

from collections import Counter

MAX_MERGES = 7744
MIN_MERGE_FREQ = 3


def merge_word(word, left, right, new):
    """One left-to-right pass; occurrences never overlap."""
    out = []
    i = 0
    while i < len(word):
        if i + 1 < len(word) and word[i] == left and word[i + 1] == right:
            out.append(new)
            i += 2
        else:
            out.append(word[i])
            i += 1
    return tuple(out)


def pair_freqs(words):
    """Every adjacent pair of every distinct word, weighted by its count."""
    freqs = Counter()
    for word, freq in words.items():
        for pair in zip(word, word[1:]):
            freqs[pair] += freq
    return freqs


def train(chunks):
    """The merge list as [((left, right), new), ...]."""
    words = Counter(tuple(chunk.encode("utf-8")) for chunk in chunks)
    merges = []
    while len(merges) < MAX_MERGES:
        freqs = pair_freqs(words)
        if not freqs:
            break
        (left, right), freq = max(freqs.items(), key=lambda item: (item[1], item[0]))
        if freq < MIN_MERGE_FREQ:
            break
        new = 256 + len(merges)
        rewritten = Counter()
        for word, count in words.items():
            rewritten[merge_word(word, left, right, new)] += count
        words = rewritten
        merges.append(((left, right), new))
    return merges


def encode(chunks, merges):
    """Each merge in list order over each chunk's word; words concatenated."""
    words = [tuple(chunk.encode("utf-8")) for chunk in chunks]
    for (left, right), new in merges:
        words = [merge_word(word, left, right, new) for word in words]
    return [token for word in words for token in word]


def vocab(merges):
    """Bytes of every id: single bytes, then each new id as left + right."""
    table = {b: bytes([b]) for b in range(256)}
    for (left, right), new in merges:
        table[new] = table[left] + table[right]
    return table


def _array(lines):
    """One entry per line, a comma after all but the last, no final line feed."""
    return "[\n" + "".join(line + (",\n" if i + 1 < len(lines) else "\n")
                           for i, line in enumerate(lines)) + "]"


def merges_record_text(merges):
    return _array([f'  {{"pair":[{left},{right}],"id":{new}}}'
                   for (left, right), new in merges]).encode("ascii")


def vocab_list_text(table):
    return _array([f'  {{"id":{i},"bytes":[{",".join(map(str, table[i]))}]}}'
                   for i in sorted(table)]).encode("ascii")
