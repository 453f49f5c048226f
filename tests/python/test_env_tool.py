"""tools/apt.sh, the apt side of tools/env: which package failed and why, and
which failures are tried again. apt itself is replaced by a stand-in that
prints what apt printed on real failures."""

import os
import pathlib
import shutil
import subprocess

import pytest

from conftest import ROOT

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="no bash")

UNMET = """\
The following packages have unmet dependencies:
 exim4-daemon-heavy : Depends: exim4-base (>= 4.100.1) but it is not going to be installed
                      Conflicts: mail-transport-agent
E: Unable to satisfy dependencies. Reached two conflicting assignments:
   1. exim4-daemon-light:amd64=4.100.1-4 is selected for install
   2. exim4-daemon-light:amd64 Conflicts mail-transport-agent
Reading state information...
"""
DPKG = """\
Setting up python3-foo (1.0) ...
dpkg: error processing package python3-foo (--configure):
 installed python3-foo package post-installation script subprocess returned error exit status 1
Errors were encountered while processing:
 python3-foo
E: Sub-process /usr/bin/dpkg returned an error code (1)
"""
NETWORK = """\
Err:1 http://mirror/debian sid/main amd64 cmake amd64 3.31.6-2
  Connection timed out [IP: 192.0.2.1 80]
E: Failed to fetch http://mirror/debian/pool/main/c/cmake/cmake_3.31.6-2_amd64.deb  Connection timed out
E: Unable to fetch some archives, maybe run apt-get update or try with --fix-missing?
"""


def apt_sh(tmp_path, script, lists=None):
    """Runs script in bash with tools/apt.sh sourced, the package lists of
    lists in its tools directory; (status, stderr lines, tries)."""
    tools = tmp_path / "tools"
    (tools / "packages").mkdir(parents=True)
    for name, packages in (lists or {}).items():
        (tools / "packages" / f"{name}.txt").write_text("# a list\n" + "".join(p + "\n" for p in packages))
    done = subprocess.run(
        ["bash", "-c", f'set -euo pipefail; here={tools}; source "$0"; sleep() {{ :; }}; {script}',
         ROOT / "tools" / "apt.sh"],
        capture_output=True, text=True, cwd=tmp_path, timeout=60,
        # The tool's own environment: nothing of a sanitizer run's preloads.
        env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"})
    tries = tmp_path / "tries"
    return done.returncode, done.stderr.splitlines(), int(tries.read_text()) if tries.exists() else 0


def stand_in(outputs):
    """An in_target whose apt prints outputs[n] on try n (the last one
    failing), and succeeds once they run out."""
    cases = "".join(f"{i}) printf '%s' {shlex_quote(o)}; return 100 ;; " for i, o in enumerate(outputs))
    return (f'in_target() {{ n=$(( $(cat tries 2>/dev/null || echo 0) + 1 )); echo $n > tries; '
            f'case $((n - 1)) in {cases} *) return 0 ;; esac; }}; ')


def shlex_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


@pytest.mark.parametrize("log, lines", [
    ("E: Unable to locate package no-such-package\n",
     ["tools/env: cannot install no-such-package (listed in tools/packages/base.txt): "
      "E: Unable to locate package no-such-package"]),
    ("E: Package 'python3.14-dev' has no installation candidate\n",
     ["tools/env: cannot install python3.14-dev (listed in tools/packages/base.txt, "
      "tools/packages/check.txt): E: Package 'python3.14-dev' has no installation candidate"]),
    (UNMET,
     ["tools/env: cannot install exim4-daemon-heavy (listed in tools/packages/report.txt): "
      "exim4-daemon-heavy : Depends: exim4-base (>= 4.100.1) but it is not going to be installed",
      "tools/env: apt: E: Unable to satisfy dependencies. Reached two conflicting assignments:",
      "tools/env: apt:    1. exim4-daemon-light:amd64=4.100.1-4 is selected for install",
      "tools/env: apt:    2. exim4-daemon-light:amd64 Conflicts mail-transport-agent"]),
    (DPKG,
     ["tools/env: cannot install python3-foo: dpkg: installed python3-foo package "
      "post-installation script subprocess returned error exit status 1",
      "tools/env: apt: E: Sub-process /usr/bin/dpkg returned an error code (1)"]),
], ids=["unknown", "no-candidate", "unmet", "dpkg"])
def test_a_failure_names_the_package_and_apt_s_reason(tmp_path, log, lines):
    lists = {"base": ["python3.14-dev", "no-such-package"], "check": ["python3.14-dev"],
             "report": ["exim4-daemon-heavy"]}
    status, err, tries = apt_sh(tmp_path, stand_in([log]) + "apt_install '' pkg", lists)
    assert (status, tries) == (1, 1)  # not a network failure: no second try
    assert err[0] == "tools/env: installing 1 packages with apt: pkg"
    assert err[1:-1] == lines
    assert err[-1].startswith("tools/env: apt's whole output: ")
    assert pathlib.Path(err[-1].rsplit(": ", 1)[1]).read_text() == log


@pytest.mark.parametrize("failures, status, tries", [(1, 0, 2), (2, 0, 3), (3, 1, 3)])
def test_a_network_failure_is_tried_again_three_times_in_all(tmp_path, failures, status, tries):
    got_status, err, got_tries = apt_sh(tmp_path, stand_in([NETWORK] * failures) + "apt_install '' cmake")
    assert (got_status, got_tries) == (status, tries)
    retries = [line for line in err if "network failure" in line]
    assert retries == [f"tools/env: apt met a network failure (try {t} of 3); trying again:"
                       for t in range(1, min(failures, 2) + 1)]
    if status:
        assert "tools/env: apt: E: Failed to fetch http://mirror/debian/pool/main/c/cmake/" \
               "cmake_3.31.6-2_amd64.deb  Connection timed out" in err
