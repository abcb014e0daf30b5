#!/usr/bin/env bash
# The package on the oldest and the newest CPython it supports that the machine
# has (3.9 and 3.13; pyenv's interpreters, else python3.X on PATH): for each, a
# virtual environment under build/interpreters/, the package built and installed
# into it, then the documentation's samples (tests/python/test_doc_samples.py)
# and a one-second servo loop against the simulator (scripts/servo_smoke.py).
# The main suites run on .venv's interpreter (scripts/test.sh).
# An interpreter's package is rebuilt only when the sources changed since its
# last install (the same hash scripts/setup.sh keeps); VELKOR_INTERPRETERS
# ("3.9 3.13") chooses others.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
read -r -a versions <<<"${VELKOR_INTERPRETERS:-3.9 3.13}"

step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }

find_python() {  # 3.X -> the newest 3.X.* interpreter found
  local root found=""
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for candidate in $(ls -d "$root/versions/$1".* 2>/dev/null | sort -V); do
    [ -x "$candidate/bin/python$1" ] && found="$candidate/bin/python$1"
  done
  [ -n "$found" ] || found=$(command -v "python$1" 2>/dev/null || true)
  echo "$found"
}

sources=(CMakeLists.txt cmake pyproject.toml LICENSE README.md Library bindings tools python)
sources_hash() {  # python
  { "$1" -c 'import sys; print(sys.version)'
    git ls-files -z --cached --others --exclude-standard -- "${sources[@]}" | xargs -0 sha1sum 2>/dev/null || true
  } | sha1sum | cut -d' ' -f1
}

summary=()
for version in "${versions[@]}"; do
  python=$(find_python "$version")
  if [ -z "$python" ]; then
    echo "interpreters.sh: no CPython $version on this machine (pyenv versions or python$version on PATH)" >&2
    exit 1
  fi
  started=$SECONDS
  venv=$ROOT/build/interpreters/$version
  step "CPython $version ($python)"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  PIP=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
  stamp=$venv/.velkor-tools
  if [ ! -f "$stamp" ]; then
    # Build tools once, so the package builds without an isolated environment;
    # what the documentation's samples use (the test and mesh extras' packages).
    "${PIP[@]}" cmake ninja "pybind11==2.13.6" "scikit-build-core>=0.11" pytest trimesh \
      "eclipse-zenoh>=1.0,<2" "cbor2>=5.4" "matplotlib>=3.5" >"$venv/tools.log" 2>&1 ||
      { grep -v '^WARNING: Location' "$venv/tools.log" | tail -30; exit 1; }
    # The view page's samples: Rerun (the view extra) and rosbags, which have no
    # release for the oldest interpreters.
    "${PIP[@]}" "rerun-sdk>=0.41,<0.42" >>"$venv/tools.log" 2>&1 || true
    "${PIP[@]}" "rosbags>=0.10" >>"$venv/tools.log" 2>&1 || true
    touch "$stamp"
  fi
  hash=$(sources_hash "$venv/bin/python")
  if [ "$(cat "$venv/.velkor-build" 2>/dev/null)" != "$hash" ]; then
    step "CPython $version: building and installing the package"
    # Its own build folder (scikit-build-core's build/{wheel_tag}), kept between runs.
    PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
      . >"$venv/install.log" 2>&1 || { tail -40 "$venv/install.log"; exit 1; }
    echo "$hash" > "$venv/.velkor-build"
  fi
  step "CPython $version: documentation samples"
  deselect=()
  if ! "$venv/bin/python" -c 'import rerun' 2>/dev/null; then
    echo "   no rerun-sdk for CPython $version: the view page's samples (velkor_view) are left out"
    deselect=(-k "not view.rst")
  fi
  (cd /tmp && PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    "$ROOT/tests/python/test_doc_samples.py" "${deselect[@]}")
  step "CPython $version: servo loop against the simulator"
  (cd /tmp && PATH="$venv/bin:$PATH" "$venv/bin/python" "$ROOT/scripts/servo_smoke.py")
  summary+=("CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version())'): $((SECONDS - started)) s")
done
step "Interpreters done"
printf '   %s\n' "${summary[@]}"
