#!/usr/bin/env python3
"""Fails when an include goes up the layers, or a layer below the binding
includes Python.h. The layers, lowest first:

    base        the panic type and the reader/writer mutex both C++ layers use
    structures  id sets, the range tree, id sort, the id table: no Python
    binding     the C API layer: references, errors, borrows, arguments
    index       the index core: holds Python references, runs no Python code
    python      the Python-facing classes and the module
"""

import pathlib
import re
import sys

LAYERS = ["base", "structures", "binding", "index", "python"]
WITHOUT_PYTHON = {"base", "structures"}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.M)


def main():
    src = pathlib.Path(__file__).resolve().parents[1] / "src"
    problems = []
    for path in sorted(src.rglob("*.[ch]pp")):
        layer = path.relative_to(src).parts[0]
        if layer not in LAYERS:
            problems.append(f"{path}: not in a layer folder ({', '.join(LAYERS)})")
            continue
        for included in INCLUDE.findall(path.read_text()):
            top = included.split("/")[0]
            if included == "Python.h" and layer in WITHOUT_PYTHON:
                problems.append(f"{path}: {layer} must not include Python.h")
            elif top in LAYERS and LAYERS.index(top) > LAYERS.index(layer):
                problems.append(f"{path}: {layer} includes {included} from the higher layer {top}")
    for problem in problems:
        print(f"check-layers: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
