"""Every Python sample of the README and the guide runs, against the simulator.

A page's samples run one after another in one fresh interpreter, as a reader types them in. What a
page takes as given is set up first: ``api`` and ``velkor_sim`` imported, ``port`` the line of a
simulated arm (or handle, for the handle page), ``stream`` open on it, ``arm`` (or ``handle``) built,
``force`` a zero force, ``vertices`` and ``triangles`` a square tile and ``part.stl`` a file of it. A
sample's ``/dev/ttyACM0`` is the line of a second simulated arm.
"""

import os
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
DOCS = os.path.join(ROOT, "docs")
HANDLE_PAGES = {"handle.rst"}

PRELUDE = """
import sys
import VelkorHardwareAPI as api
import velkor_sim
_sim = velkor_sim.Simulator({device!r})
port = _sim.path
stream = api.SerialStream(port)
{device_object} = api.{device_class}(stream{timeout})
force = [0.0, 0.0, 0.0]
_other = velkor_sim.Simulator("arm")
other_port = _other.path
# A mesh the pages take as given: a square tile (arrays) and a file of it in millimetres.
vertices = [[-0.05, -0.05, 0.2], [0.05, -0.05, 0.2], [0.05, 0.05, 0.2], [-0.05, 0.05, 0.2]]
triangles = [[0, 1, 2], [0, 2, 3]]
import trimesh as _trimesh
_trimesh.Trimesh([[50 * x for x in v] for v in vertices], triangles).export("part.stl")
"""


# Pages whose samples talk to `velkor serve`: one runs on the second simulated arm, on a free
# loopback port, and the samples' endpoint is that one.
SERVED_PAGES = {"remote.rst"}
SERVE = """
import select, socket, subprocess
with socket.socket() as _s:
    _s.bind(("127.0.0.1", 0))
    _endpoint = "tcp/127.0.0.1:%d" % _s.getsockname()[1]
_served = subprocess.Popen([sys.executable, "-m", "velkor_cli", "serve", other_port, "--name", "arm1",
                            "--listen", _endpoint], stdout=subprocess.PIPE)
if not select.select([_served.stdout], [], [], 30)[0] or b"serving" not in _served.stdout.readline():
    _served.kill()
    raise SystemExit("velkor serve did not start")
"""
SERVE_END = "\n_served.terminate()\n_served.wait(30)\n"


def samples(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if path.endswith(".md"):
        return [textwrap.dedent(m) for m in re.findall(r"^```python\n(.*?)^```", text, flags=re.M | re.S)]
    found = []
    for match in re.finditer(r"^( *)\.\. code-block:: python\n((?:\1 +[^\n]*\n|\s*\n)+)", text, flags=re.M):
        body = match.group(2)
        if body.strip():
            found.append(textwrap.dedent(body))
    return found


PAGES = sorted([os.path.join(DOCS, name) for name in os.listdir(DOCS) if name.endswith(".rst")]) + \
    [os.path.join(ROOT, "README.md")]


def test_the_pages_have_samples_to_run():
    assert sum(len(samples(page)) for page in PAGES) >= 15


@pytest.mark.parametrize("page", [p for p in PAGES if samples(p)], ids=os.path.basename)
def test_samples_run(page, tmp_path):
    handle = os.path.basename(page) in HANDLE_PAGES
    prelude = PRELUDE.format(device="handle" if handle else "arm", device_object="handle" if handle else "arm",
                             device_class="Handle" if handle else "Vorlan3", timeout="" if handle else ", 0.5")
    served = os.path.basename(page) in SERVED_PAGES
    parts = [prelude + (SERVE if served else "")]
    for i, sample in enumerate(samples(page)):
        sample = sample.replace('"/dev/ttyACM0"', "other_port")
        if served:
            sample = sample.replace('"tcp/127.0.0.1:7447"', "_endpoint")
        parts.append(f"print('-- sample {i + 1}', file=sys.stderr)\n{sample}")
    program = tmp_path / "samples.py"
    program.write_text("\n".join(parts) + (SERVE_END if served else "") + "\n_sim.stop()\n_other.stop()\n")
    out = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=300,
                         cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert out.returncode == 0, f"{page}:\n{out.stderr[-3000:]}"


def test_no_page_pulls_in_a_module_docstring_whose_code_would_render_as_prose():
    # velkor_sim's module docstring shows code without "::": as prose its quotes come out curly.
    for page in PAGES:
        with open(page, encoding="utf-8") as f:
            assert ".. automodule:: velkor_sim" not in f.read(), page
