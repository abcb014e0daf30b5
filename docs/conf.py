"""Sphinx configuration: the user guide, an API reference read from the
installed module's docstrings with the parameter and result types of the
shipped stubs (python/VelkorHardwareAPI-stubs), and the C++ reference that
Doxygen reads from the public headers, rendered by Breathe."""

import ast
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

project = "VelkorHardwareAPI"
author = "The VelkorHardwareAPI authors"
copyright = "2025, " + author
with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as _f:
    release = re.search(r'^version = "([^"]+)"$', _f.read(), flags=re.M).group(1)
version = release

extensions = ["sphinx.ext.autodoc", "sphinx.ext.intersphinx", "breathe"]

# The headers' comments are plain // comments written for C++ readers;
# doxygen_filter.py hands them to Doxygen as documentation comments.
DOXYGEN_XML = os.path.join(ROOT, "build", "doxygen", "xml")
DOXYFILE = f"""
PROJECT_NAME = VelkorHardwareAPI
PROJECT_NUMBER = {release}
INPUT = {os.path.join(ROOT, "Library", "include")}
RECURSIVE = YES
FILE_PATTERNS = *.hpp
STRIP_FROM_PATH = {os.path.join(ROOT, "Library", "include")}
OUTPUT_DIRECTORY = {os.path.dirname(DOXYGEN_XML)}
GENERATE_XML = YES
GENERATE_HTML = NO
GENERATE_LATEX = NO
EXTRACT_ALL = YES
EXTRACT_PRIVATE = NO
QUIET = YES
WARNINGS = NO
WARN_LOGFILE = {os.path.join(os.path.dirname(DOXYGEN_XML), "warnings.log")}
WARN_IF_UNDOCUMENTED = NO
ENABLE_PREPROCESSING = YES
MACRO_EXPANSION = YES
EXPAND_ONLY_PREDEF = YES
PREDEFINED = VELKOR_HWAPI_EXPORT= "VELKOR_PRINTF_FORMAT(a,b)="
INPUT_FILTER = "{sys.executable} {os.path.join(HERE, "doxygen_filter.py")}"
"""


def _run_doxygen():
    os.makedirs(os.path.dirname(DOXYGEN_XML), exist_ok=True)
    subprocess.run(["doxygen", "-"], input=DOXYFILE, text=True, check=True)


_run_doxygen()
breathe_projects = {"VelkorHardwareAPI": DOXYGEN_XML}
breathe_default_project = "VelkorHardwareAPI"
breathe_default_members = ()
intersphinx_mapping = {}
exclude_patterns = ["_build", "frame_figure.py", "doxygen_filter.py"]
nitpicky = False
html_theme = "alabaster"
html_static_path = []
autodoc_member_order = "bysource"
autodoc_docstring_signature = True

STUBS = os.path.join(os.path.dirname(__file__), "..", "python", "VelkorHardwareAPI-stubs", "__init__.pyi")


def _stub_signatures():
    """Qualified name -> (parameters, result) for every function the stubs
    declare once; overloads keep the module's own rendering."""
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    found, seen = {}, set()

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                name = prefix + node.name
                if name in seen:
                    found.pop(name, None)
                    continue
                seen.add(name)
                args = node.args
                if args.args and args.args[0].arg == "self":
                    args.args = args.args[1:]
                if args.posonlyargs and args.posonlyargs[0].arg == "self":
                    args.posonlyargs = args.posonlyargs[1:]
                result = ast.unparse(node.returns) if node.returns else None
                found[name] = ("(" + ast.unparse(args) + ")", result)

    visit(tree.body, "")
    return found


_SIGNATURES = _stub_signatures()

sys.path.insert(0, os.path.dirname(__file__))
from reference_notes import NOTES as _NOTES  # noqa: E402


def _use_stub_types(app, what, name, obj, options, signature, return_annotation):
    short = name.split("VelkorHardwareAPI.", 1)[-1]
    if short in _SIGNATURES and what in ("function", "method"):
        return _SIGNATURES[short]
    return None


def _tidy_docstring(app, what, name, obj, options, lines):
    # Some of the module's docstrings are indented as if continuing a paragraph;
    # reStructuredText would read that as a block quote.
    indents = [len(line) - len(line.lstrip()) for line in lines if line.strip()]
    if indents and min(indents) > 0:
        lines[:] = [line[min(indents):] for line in lines]
    for i, line in enumerate(lines):
        lines[i] = line.strip() if line.strip() else ""
    # The fuller entry: parameters with units, result, what it raises, a line of use.
    note = _NOTES.get(name.split("VelkorHardwareAPI.", 1)[-1])
    if note:
        lines.extend([""] + note.splitlines())


def _draw_frame(app):
    # The frame picture is drawn from the kinematic model at every build, never stored.
    import sys

    sys.path.insert(0, os.path.dirname(__file__))
    import frame_figure

    folder = os.path.join(os.path.dirname(__file__), "_generated")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "frame.svg"), "w") as f:
        f.write(frame_figure.svg())


def _draw_figures(app):
    sys.path.insert(0, os.path.dirname(__file__))
    import figures

    figures.proxy_figure(os.path.join(app.srcdir, "_generated", "proxy.svg"))


def _record_telemetry(app):
    # The telemetry guide's figure: a short recording of the wall-and-sphere scene on the
    # simulator, made and plotted at every build (a few seconds), never stored.
    from velkor_telemetry import plot, scenes

    folder = os.path.join(os.path.dirname(__file__), "_generated")
    os.makedirs(folder, exist_ok=True)
    recording = os.path.join(folder, "telemetry.mcap")
    summary = scenes.record_run(None, 3.0, recording, scene="wall-and-sphere")
    plot(recording, os.path.join(folder, "telemetry.png"), size=(1400, 1000),
         title=f"velkor record --seconds 3: {summary['messages']} cycles, {summary['lost']} lost")
    os.remove(recording)


def _draw_view(app):
    # "Seeing the scene": a frame of the view, saved to a Rerun file and read back, at every build.
    sys.path.insert(0, os.path.dirname(__file__))
    import view_figure

    folder = os.path.join(os.path.dirname(__file__), "_generated")
    os.makedirs(folder, exist_ok=True)
    view_figure.view_figure(os.path.join(folder, "view.png"))


def setup(app):
    app.connect("builder-inited", _draw_frame)
    app.connect("builder-inited", _draw_figures)
    app.connect("builder-inited", _record_telemetry)
    app.connect("builder-inited", _draw_view)
    app.connect("autodoc-process-signature", _use_stub_types)
    app.connect("autodoc-process-docstring", _tidy_docstring)
