"""Makes the freshly built _ovilex and the ovilex package importable, here and
in subprocesses (PYTHONPATH), and gives each test a scratch directory."""

import os
import pathlib
import sys

import pytest

import objects

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
    config.addinivalue_line(
        "markers", "foreign_leaks: runs processes that load libraries (Dask, matplotlib) whose "
        "own leaks at exit LeakSanitizer would report (the sanitizer build leaves these out)")
    config.addinivalue_line(
        "markers", "browser: needs the browser of tools/packages/report.txt, which the stage "
        "tools/check report installs (elsewhere these skip)")


@pytest.fixture(autouse=True)
def scratch_cwd(tmp_path, monkeypatch):
    """Each test runs in its own empty working directory (its tmp_path), so
    that the record files encode_train writes land there; paths into the
    work tree are made from ROOT."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def provoke_panic():
    """Makes the module raise its internal-error exception on demand."""
    return objects.provoke_panic


@pytest.fixture(scope="session")
def package_env():
    """The environment for a subprocess that imports ovilex and _ovilex."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE), str(BUILD)]))
