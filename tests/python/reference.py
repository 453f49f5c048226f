"""Naive pure-Python references for the module's results.

Written for clarity, not speed: each follows the rule in its most literal
form, so that the native fast paths can be checked against it.
"""


def merge_word(word, left, right, new):
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


def encode(chunks, merges):
    """Every merge, in list order, applied to every chunk's word; the words
    concatenated. No merge looks across two chunks."""
    words = [list(chunk.encode("utf-8")) for chunk in chunks]
    for (left, right), new in merges:
        words = [merge_word(word, left, right, new) for word in words]
    return [token for word in words for token in word]


def vocab_from_merges(merges):
    """Bytes of every id: 0..255 stand for themselves, each merge's new id for
    the bytes of its left part followed by those of its right part."""
    vocab = {i: bytes([i]) for i in range(256)}
    for (left, right), new in merges:
        vocab[new] = vocab[left] + vocab[right]
    return vocab


def records(workdir):
    """The bytes of the two record files in workdir/data."""
    return tuple((workdir / "data" / name).read_bytes()
                 for name in ("merges_record.json", "vocab_list.json"))


def encode_train_records(chunks, workdir):
    """What _ovilex.encode_train returns and writes when run in workdir (made
    here): its merges and the bytes of its two record files."""
    import os

    import _ovilex

    here = os.getcwd()
    workdir.mkdir()
    os.chdir(workdir)
    try:
        merges = _ovilex.encode_train(chunks)
    finally:
        os.chdir(here)
    return merges, records(workdir)
