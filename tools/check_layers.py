#!/usr/bin/env python3
"""tools/check_layers.py -- the libraries' includes keep their layers.

Each program folder is one library: its public header lies under
<lib>/include/<lib>/ and is included by that path; its own internal
headers lie in the folder and are included by their bare names. A file may
include its own library's headers and the public headers of the libraries
below it, nothing else: no internal header of another library, no header of
a library above, no path that climbs out with "..". Prints every include
that breaks this and exits 1; else one line and 0. No build needed.
"""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What each library may use, directly or through another.
BELOW = {
    "base": set(),
    "cipher": set(),
    "legacy": {"base"},
    "engine": {"base", "cipher", "legacy"},
    "files": {"base", "cipher", "legacy", "engine"},
    "cli": {"base", "cipher", "legacy", "engine", "files"},
}
GENERATED = {"cli/version.h"}  # made by the build beside cli's own headers

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def problems_of(path, library):
    folder = os.path.dirname(path)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for name in INCLUDE.findall(text):
        where = os.path.relpath(path, TOP)
        if ".." in name.split("/"):
            yield f"{where}: \"{name}\" climbs out of its folder"
            continue
        if "/" not in name:
            if not os.path.exists(os.path.join(folder, name)):
                yield f"{where}: \"{name}\" is not a header of its own folder"
            continue
        owner = name.split("/", 1)[0]
        if name in GENERATED and owner == library:
            continue
        if owner != library and owner not in BELOW[library]:
            yield f"{where}: \"{name}\": {library} may not use {owner}"
        elif not os.path.exists(os.path.join(TOP, owner, "include", name)):
            yield f"{where}: \"{name}\" is not a public header of {owner}"


def main():
    found = []
    for library in BELOW:
        for root, _, names in os.walk(os.path.join(TOP, library)):
            for n in sorted(names):
                if n.endswith((".cpp", ".h", ".c")):
                    found += problems_of(os.path.join(root, n), library)
    for line in found:
        print(f"check_layers: {line}", file=sys.stderr)
    if found:
        return 1
    print(f"check_layers: every include of {len(BELOW)} libraries keeps its layer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
