"""The record files that training leaves in ``WORKDIR/data``.

``merges_record.json`` holds the merge list in the order it was learnt and
``vocab_list.json`` the bytes of every token id, in ascending id order. Both
are JSON arrays written one entry per line::

    [
      {"pair":[104,101],"id":256},
      {"pair":[256,108],"id":257}
    ]

    [
      {"id":0,"bytes":[0]},
      ...
      {"id":257,"bytes":[104,101,108]}
    ]

They are read natively (``Tokenizer.load``), line by line, so that an error
names the line: the first line is ``[``, then one entry per line, each but
the last followed by a comma, then ``]``. Spaces around an entry and a line
feed after the closing bracket are allowed. Ids ascend in the vocabulary,
ids 0 to 255 stand for their single bytes, and every merge's new id stands
for the bytes of its two parts joined.

A training with special tokens also leaves ``special_tokens.json``, written
with the other two (each file goes to a temporary one first, and all are
renamed once all are written): an entry per special token, in ascending id
order, its text a JSON string as ``json.dumps`` writes it (ASCII, ``\\u``
escapes for the rest)::

    [
      {"id":8000,"text":"<|endoftext|>"},
      {"id":8001,"text":"<|pad|>"}
    ]

Ids ascend, none is in the vocabulary, and texts are non-empty, distinct and
free of lone surrogates. Without special tokens there is no such file (a
training without them removes an earlier one), and a missing file means
none, so older work directories load as they did.
"""

from __future__ import annotations

__all__ = ["MERGES_RECORD", "RECORD_DIR", "SPECIAL_TOKENS", "VOCAB_LIST"]

RECORD_DIR = "data"
MERGES_RECORD = "merges_record.json"
VOCAB_LIST = "vocab_list.json"
SPECIAL_TOKENS = "special_tokens.json"
