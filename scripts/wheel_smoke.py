"""Checks an installed wheel from the outside: what is on PATH, what the
package carries, and one exchange with the simulator through the velkor command.
Run with the interpreter of the environment the wheel went into."""

import json
import os
import subprocess
import sys
import sysconfig
from importlib import metadata

BIN = sysconfig.get_path("scripts")
SITE = sysconfig.get_path("purelib")
checks = []


def check(name):
    def run(fn):
        checks.append((name, fn))
        return fn
    return run


def tool(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


@check("the module imports from site-packages and answers")
def _():
    import VelkorHardwareAPI as api
    assert api.__file__.startswith(SITE) or api.__file__.startswith(sysconfig.get_path("platlib")), api.__file__
    assert api.get_cpp_version() == metadata.version("VelkorHardwareAPI")
    assert isinstance(api.list_ports(), list)


@check("only velkor and velkor-sim are put on PATH")
def _():
    ours = sorted(n for n in os.listdir(BIN) if n.startswith("velkor"))
    assert ours == ["velkor", "velkor-sim"], ours


@check("licence, metadata, stubs and typing markers are in the wheel")
def _():
    dist = metadata.distribution("VelkorHardwareAPI")
    assert dist.metadata["License-Expression"] == "MIT"
    assert any(str(f).endswith("LICENSE") for f in dist.files)
    files = {str(f) for f in dist.files}
    for wanted in ("VelkorHardwareAPI-stubs/__init__.pyi", "velkor_cli/py.typed", "velkor_sim/py.typed"):
        assert wanted in files, wanted


@check("velkor and velkor-sim answer --version")
def _():
    for program in ("velkor", "velkor-sim"):
        out = tool(os.path.join(BIN, program), "--version")
        assert out.returncode == 0 and out.stdout.startswith(program + " "), out


@check("velkor info reads the identity of a simulated arm")
def _():
    import velkor_sim
    with velkor_sim.simulator("arm") as port:
        out = tool(os.path.join(BIN, "velkor"), "info", port, "--json")
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)["device_model_number"] == 4


failed = 0
for name, fn in checks:
    try:
        fn()
        print(f"ok      {name}")
    except Exception as e:  # report every check, not just the first failure
        failed += 1
        print(f"FAILED  {name}: {type(e).__name__}: {e}")
print(f"smoke: {len(checks) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
