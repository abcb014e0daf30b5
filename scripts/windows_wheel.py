"""Packs the cross-built Windows module and the package's Python parts into a
win_amd64 wheel, with the metadata pyproject.toml gives the Linux wheel.

    python3 scripts/windows_wheel.py MODULE.pyd OUTDIR PYTHON_TAG

PYTHON_TAG names the CPython the module was built for, such as cp313.

The module is the MinGW-w64 build of scripts/test-windows.sh, linked
statically, so the wheel needs nothing but Windows and the CPython it names.
Prints the wheel's path.
"""

import base64
import csv
import hashlib
import io
import os
import re
import sys
import zipfile

try:
    import tomllib
except ModuleNotFoundError:  # Python before 3.11
    import tomli as tomllib  # type: ignore[no-redef]

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# A fixed time for every member, so that one build gives one wheel.
FIXED_TIME = (2020, 1, 1, 0, 0, 0)


def metadata(project: dict) -> str:
    lines = ["Metadata-Version: 2.4", f"Name: {project['name']}", f"Version: {project['version']}",
             f"Summary: {project['description']}"]
    for author in project.get("authors", []):
        lines.append(f"Author: {author['name']}")
    lines.append(f"License-Expression: {project['license']}")
    for name in project.get("license-files", []):
        lines.append(f"License-File: {name}")
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f"Requires-Dist: {r}; extra == \"{extra}\"" for r in requirements]
    lines.append("Description-Content-Type: text/markdown")
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        description = f.read()
    return "\n".join(lines) + "\n\n" + description


def main() -> int:
    module, out, python = sys.argv[1], sys.argv[2], sys.argv[3]
    if not re.fullmatch(r"cp3\d+", python) or not module.endswith(".pyd"):
        raise SystemExit(f"usage: windows_wheel.py MODULE.pyd OUTDIR cp3XX (got {module} {python})")
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        config = tomllib.load(f)
    project = config["project"]
    packages = config["tool"]["scikit-build"]["wheel"]["packages"]
    tag = f"{python}-{python}-win_amd64"
    name, version = project["name"], project["version"]
    dist_info = f"{name}-{version}.dist-info"

    members = [(os.path.basename(module), open(module, "rb").read())]
    for package in packages:
        source = os.path.join(ROOT, package)
        top = os.path.basename(package)
        for directory, subdirectories, files in os.walk(source):
            subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
            for file in sorted(files):
                if file.endswith((".pyc", ".pyo")):
                    continue
                path = os.path.join(directory, file)
                arcname = "/".join([top, os.path.relpath(path, source).replace(os.sep, "/")])
                with open(path, "rb") as f:
                    members.append((arcname, f.read()))
    members.append((f"{dist_info}/METADATA", metadata(project).encode()))
    members.append((f"{dist_info}/WHEEL", (
        "Wheel-Version: 1.0\nGenerator: VelkorHardwareAPI scripts/windows_wheel.py\nRoot-Is-Purelib: false\n"
        f"Tag: {tag}\n").encode()))
    scripts = project.get("scripts", {})
    if scripts:
        entry_points = "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in scripts.items())
        members.append((f"{dist_info}/entry_points.txt", entry_points.encode()))
    for license_file in project.get("license-files", []):
        with open(os.path.join(ROOT, license_file), "rb") as f:
            members.append((f"{dist_info}/licenses/{license_file}", f.read()))

    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for arcname, data in members:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        writer.writerow([arcname, f"sha256={digest}", len(data)])
    writer.writerow([f"{dist_info}/RECORD", "", ""])
    members.append((f"{dist_info}/RECORD", record.getvalue().encode()))

    os.makedirs(out, exist_ok=True)
    wheel = os.path.join(out, f"{name}-{version}-{tag}.whl")
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in members:
            info = zipfile.ZipInfo(arcname, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
    print(wheel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
