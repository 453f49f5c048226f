"""The package is layered: no module imports another of the package inside
a function, and each imports first, in a fresh interpreter, whatever was
imported before it; so no import cycle can hide behind a late import."""

import ast
import pathlib
import subprocess
import sys

import pytest

import ovilex

PACKAGE = pathlib.Path(ovilex.__file__).parent
MODULES = sorted(p.stem for p in PACKAGE.glob("*.py") if p.stem not in ("__init__", "__main__"))


def test_every_import_of_the_package_is_at_the_top_of_its_file():
    late = []
    for name in MODULES + ["__init__", "__main__"]:
        tree = ast.parse((PACKAGE / f"{name}.py").read_text(encoding="utf-8"))
        top = set(map(id, tree.body))
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level > 0 and id(node) not in top:
                late.append(f"{name}.py:{node.lineno}")
    assert late == []


@pytest.mark.parametrize("first", MODULES)
def test_each_module_imports_first_in_a_fresh_interpreter(first, package_env):
    order = [first] + [m for m in MODULES if m != first]
    code = "import importlib\n" + "".join(f"importlib.import_module('ovilex.{m}')\n" for m in order)
    run = subprocess.run([sys.executable, "-c", code], env=package_env, capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
