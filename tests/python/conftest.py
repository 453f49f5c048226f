"""Makes the freshly built _ovilex importable and gives each test a scratch directory."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("OVILEX_BUILD_DIR", "build"))
if not BUILD.is_absolute():
    BUILD = ROOT / BUILD
sys.path.insert(0, str(BUILD))
