"""Under a debug interpreter (python3.14-dbg) the module is built for it: its
own reference counting is the interpreter's, so that the interpreter's total
count of references is something to check leaks against."""

import gc
import sys

import pytest

from _ovilex import decode_string, encode

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter")

IDS = list(range(97, 123)) * 4
VOCAB = {i: bytes([i]) for i in range(97, 123)}


@pytest.mark.parametrize(
    "call",
    [
        lambda: decode_string(IDS, VOCAB),
        lambda: encode(["hello", " world"] * 20, [((108, 108), 256)]),
        lambda: decode_string(IDS + [-1], VOCAB),  # a failure, after many items
    ],
    ids=["decode_string", "encode", "failing"],
)
def test_total_reference_count_stays_level(call):
    # A module built without Py_DEBUG releases references that the
    # interpreter never sees released: the total climbs with every call.
    calls = 200

    def run():
        for _ in range(calls):
            try:
                call()
            except OverflowError:
                pass

    run()
    gc.collect()
    before = sys.gettotalrefcount()
    run()
    gc.collect()
    assert sys.gettotalrefcount() - before < calls // 4
