"""The module's documented surface: every public name with its docstring.

Run as a program it prints the surface as JSON, so the Windows suite can check
that the module built for Windows presents exactly what the Linux one does.
"""

import inspect
import json
import sys


def surface(module):
    entries = {}
    for name, value in sorted(vars(module).items()):
        if name.startswith("__"):
            continue
        entries[name] = getattr(value, "__doc__", None)
        if inspect.isclass(value):
            for member, attribute in sorted(vars(value).items()):
                if member.startswith("__") and member != "__init__":
                    continue
                # A static method's own docstring is the wrapper's on some Python versions.
                if isinstance(attribute, staticmethod):
                    attribute = attribute.__func__
                # A static property's own docstring shows on some Python versions only; its getter's on all.
                if type(attribute).__name__ == "pybind11_static_property":
                    attribute = attribute.fget
                entries[f"{name}.{member}"] = getattr(attribute, "__doc__", None)
    return entries


if __name__ == "__main__":
    import VelkorHardwareAPI

    json.dump(surface(VelkorHardwareAPI), sys.stdout, indent=1, sort_keys=True)
