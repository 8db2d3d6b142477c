"""Checks that includes inside src/hobrin_ann point down only.

Each folder has a floor; a file may include its own folder and folders on
lower floors, never a folder on its floor or above. Exits non-zero naming
every include that breaks this.
    python scripts/check_layers.py
"""

import pathlib
import re
import sys

FLOORS = {
    "kernels": 0,
    "graph": 0,
    "filters": 0,
    "store": 1,
    "core": 2,
    "search": 3,
    "format": 3,
    "insert": 4,  # walks with search's layer walks
    "index": 5,
}
INCLUDE = re.compile(r'^#include "hobrin_ann/([^/"]+)/', re.M)


def upward_includes(root: pathlib.Path) -> list[str]:
    found = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in {".cpp", ".hpp", ".inl"}:
            continue
        folder = path.relative_to(root).parts[0]
        if folder not in FLOORS:
            found.append(f"{path}: folder {folder}/ has no floor in {__file__}")
            continue
        for target in INCLUDE.findall(path.read_text()):
            if target != folder and FLOORS.get(target, len(FLOORS)) >= FLOORS[folder]:
                found.append(f"{path}: {folder}/ may not include {target}/")
    return found


if __name__ == "__main__":
    problems = upward_includes(pathlib.Path(__file__).resolve().parents[1] / "src" / "hobrin_ann")
    print("\n".join(problems) or "includes in src/hobrin_ann point down only")
    sys.exit(1 if problems else 0)
