"""The API reference gives every public member of the module its parameters,
result, what it raises and a line of use (docs/reference_notes.py), beside
the docstrings that stay as programs have always seen them."""

import inspect
import os
import sys

import VelkorHardwareAPI as api

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "docs"))
from reference_notes import NOTES  # noqa: E402

# Members that say nothing of their own: the plain object protocol and the classes without members.
PROTOCOL = {"__repr__", "__eq__", "__hash__"}


def public_members():
    for name in dir(api):
        if name.startswith("_"):
            continue
        obj = getattr(api, name)
        if inspect.isclass(obj):
            if issubclass(obj, BaseException):
                continue
            for member in vars(obj):
                if member.startswith("_") and member not in ("__init__", "__enter__", "__exit__"):
                    continue
                if member in PROTOCOL:
                    continue
                yield f"{name}.{member}"
        elif callable(obj):
            yield name


def test_every_public_member_has_a_reference_entry():
    members = set(public_members())
    missing = sorted(m for m in members if m not in NOTES)
    assert not missing, f"members without a reference entry in docs/reference_notes.py: {missing}"
    stale = sorted(m for m in NOTES if m not in members)
    assert not stale, f"reference entries for members the module does not have: {stale}"


def test_each_entry_says_what_it_takes_returns_or_raises():
    for name, note in NOTES.items():
        assert any(field in note for field in (":Parameters:", ":Returns:", ":Raises:")), name
