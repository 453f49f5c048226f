"""Makes the freshly built _ovilex and the ovilex package importable, here and
in subprocesses (PYTHONPATH), and gives each test a scratch directory."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("OVILEX_BUILD_DIR", "build"))
if not BUILD.is_absolute():
    BUILD = ROOT / BUILD
sys.path.insert(0, str(BUILD))
PACKAGE = ROOT / "python"
sys.path.insert(0, str(PACKAGE))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "memory_faults: makes the module's allocations fail (the sanitizer "
        "build aborts on a failed allocation instead of throwing, so it leaves these out)")


def _provoke_panic(grow=True):
    """Calls decode_string with a dict whose first key's __index__ changes the
    dict: grow=True adds an entry (its size changes), grow=False deletes that
    key and adds another (size unchanged, but the walk yields one entry too
    many). Returns the BaseException raised."""
    import _ovilex

    vocab = {}

    class Key:
        def __index__(self):
            if not grow:
                del vocab[self]
            vocab[1000 + len(vocab)] = b"x"
            return 1

    vocab[Key()] = b"a"
    vocab[2] = b"b"
    try:
        _ovilex.decode_string([1], vocab)
    except BaseException as e:  # PanicException derives from BaseException only
        return e
    raise AssertionError("the dict changed during conversion, but decode_string returned")


@pytest.fixture
def provoke_panic():
    """Makes the module raise its internal-error exception on demand."""
    return _provoke_panic


@pytest.fixture(scope="session")
def package_env():
    """The environment for a subprocess that imports ovilex and _ovilex."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE), str(BUILD)]))
