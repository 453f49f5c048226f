"""tools/apt.sh, the apt side of tools/env: which package failed and why, and
which failures are tried again. apt itself is replaced by a stand-in that
prints what apt printed on real failures."""

import os
import pathlib
import shlex
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
    cases = "".join(f"{i}) printf '%s' {shlex.quote(o)}; return 100 ;; " for i, o in enumerate(outputs))
    return (f'in_target() {{ n=$(( $(cat tries 2>/dev/null || echo 0) + 1 )); echo $n > tries; '
            f'case $((n - 1)) in {cases} *) return 0 ;; esac; }}; ')


RETRY = "tools/env: apt met a network failure (try {} of 3); trying again:"
# What a try that met the network failure says: apt's error lines.
ERRORS = [line for line in NETWORK.splitlines() if line.startswith("E: ")]


def retried(tries):
    return [line for t in range(1, tries) for line in [RETRY.format(t), *ERRORS]]


# (apt's outputs, one per failed try; the lines said between "installing"
# and the path of apt's output, or None when the install succeeds; tries)
@pytest.mark.parametrize("outputs, lines, tries", [
    (["E: Unable to locate package no-such-package\n"],
     ["tools/env: cannot install no-such-package (listed in tools/packages/base.txt): "
      "E: Unable to locate package no-such-package"], 1),
    (["E: Package 'python3.14-dev' has no installation candidate\n"],
     ["tools/env: cannot install python3.14-dev (listed in tools/packages/base.txt, "
      "tools/packages/check.txt): E: Package 'python3.14-dev' has no installation candidate"], 1),
    ([UNMET],
     ["tools/env: cannot install exim4-daemon-heavy (listed in tools/packages/report.txt): "
      "exim4-daemon-heavy : Depends: exim4-base (>= 4.100.1) but it is not going to be installed",
      "tools/env: apt: E: Unable to satisfy dependencies. Reached two conflicting assignments:",
      "tools/env: apt:    1. exim4-daemon-light:amd64=4.100.1-4 is selected for install",
      "tools/env: apt:    2. exim4-daemon-light:amd64 Conflicts mail-transport-agent"], 1),
    ([DPKG],
     ["tools/env: cannot install python3-foo: dpkg: installed python3-foo package "
      "post-installation script subprocess returned error exit status 1",
      "tools/env: apt: E: Sub-process /usr/bin/dpkg returned an error code (1)"], 1),
    # A failure of the network is tried again, three tries in all.
    ([NETWORK], None, 2),
    ([NETWORK] * 2, None, 3),
    ([NETWORK] * 3, retried(3) + ["tools/env: apt: " + line for line in ERRORS], 3),
], ids=["unknown", "no-candidate", "unmet", "dpkg", "network-once", "network-twice",
        "network-always"])
def test_apt_install_names_the_failure_and_tries_the_network_again(tmp_path, outputs, lines,
                                                                    tries):
    lists = {"base": ["python3.14-dev", "no-such-package"], "check": ["python3.14-dev"],
             "report": ["exim4-daemon-heavy"]}
    status, err, got_tries = apt_sh(tmp_path, stand_in(outputs) + "apt_install '' pkg", lists)
    assert got_tries == tries
    assert err[0] == "tools/env: installing 1 packages with apt: pkg"
    if lines is None:
        assert status == 0
        assert err[1:] == retried(tries)
        return
    assert status == 1
    assert err[1:-1] == lines
    assert err[-1].startswith("tools/env: apt's whole output: ")
    assert pathlib.Path(err[-1].rsplit(": ", 1)[1]).read_text() == outputs[-1]
