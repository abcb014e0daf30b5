"""Doxygen's input filter for the public headers: their plain // comments
become documentation comments, a comment line for the declaration below it,
a trailing comment for the member before it, their text taken literally.
Prints the filtered file."""

import re
import sys

def escape(text):
    # Comment text is prose: a backslash, @ or <...> is not a Doxygen command or tag.
    return re.sub(r"([\\@<>&])", r"\\\1", text)


with open(sys.argv[1], encoding="utf-8") as f:
    for line in f:
        whole = re.match(r"^( *)//( |$)(.*)$", line, flags=re.S)
        if whole:
            line = whole.group(1) + "///" + whole.group(2) + escape(whole.group(3))
        else:
            line = re.sub(r"([;,]) *// (.*)$", lambda m: m.group(1) + "  ///< " + escape(m.group(2)), line, flags=re.S)
        sys.stdout.write(line)
