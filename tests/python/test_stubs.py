"""python/ovilex/_native.pyi, the types that checkers and editors see of the
native module, held to the module itself by mypy's stubtest: every name,
parameter, default and kind the stub gives, the module has."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")


def test_the_stub_matches_the_native_module(package_env):
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ovilex._native"],
                         env=package_env, capture_output=True, text=True,
                         cwd=os.path.dirname(__file__))
    assert run.returncode == 0, run.stdout + run.stderr
