"""Files cut into pieces for the cluster's tasks, without a cluster: the
pieces join to the file, and split as it does."""

import random

import pytest

from ovilex import pieces, split
from words import generated


@pytest.mark.parametrize("window", [1, 3, 7, 64, 1 << 16])
def test_pieces_join_to_the_file_and_split_as_it(tmp_path, monkeypatch, window):
    monkeypatch.setattr(pieces, "WINDOW", window)
    rng = random.Random(window)
    for trial in range(60):
        text = generated(trial, rng.randrange(0, 300))
        path = tmp_path / f"f{trial}.txt"
        data = text.encode()
        path.write_bytes(data)
        for lines in (False, True):
            span = rng.choice([1, 2, 5, 16, 100])
            read = [pieces.read_piece(p)
                    for p in pieces.pieces(str(path), len(data), span, lines)]
            got = [r for r in read if r is not None]
            assert [start for start, _ in got] == \
                [sum(len(b) for _, b in got[:i]) for i in range(len(got))]
            assert b"".join(b for _, b in got) == data
            if lines:
                assert all(b.endswith(b"\n") for _, b in got[:-1])
            else:
                assert [c for _, b in got for c in split(b.decode())] == split(text)
