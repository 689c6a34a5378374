#!/usr/bin/python3
"""The stub's folders depend on each other one way only: the run sequence on
top, the stages below it, and the shared vocabulary (outcome codes, handle
ownership, bounded text) on the ground floor. A stage that included the run
sequence, or a ground-floor header that included a stage, would be a knot in
the design; this test reads every #include of src/ and refuses one.

    /usr/bin/python3 -m unittest discover -s tests/structure -p test_layers.py -v
"""

import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCES = os.path.join(ROOT, "src")

# Each folder with the floor it stands on; a file may include its own folder
# and anything on a lower floor, never a folder on its own floor or higher.
FLOORS = {
    "outcome": 0,
    "handles": 0,
    "text": 0,
    "settings": 1,
    "libraries": 1,
    "installer": 2,  # takes the memory manager's comparison from the system's libraries
    "workarea": 2,  # takes the native create from the system's libraries
    "payload": 3,  # removes the cabinet it wrote with the work area's removal
    "launch": 2,
    "entry": 4,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def project_includes():
    """(folder of the including file, its path, folder it includes), for every
    project header included anywhere under src/."""
    found = []
    for folder in sorted(os.listdir(SOURCES)):
        directory = os.path.join(SOURCES, folder)
        if not os.path.isdir(directory):
            continue
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            with open(path, encoding="utf-8") as source:
                for included in INCLUDE.findall(source.read()):
                    found.append((folder, os.path.relpath(path, ROOT), included))
    return found


def knots(includes, floors):
    """The includes that point sideways or up, as readable lines."""
    wrong = []
    for folder, path, included in includes:
        if included == folder:
            continue
        if folder not in floors or included not in floors:
            wrong.append(f"{path}: includes {included}/, and a folder without a floor has no place")
        elif floors[included] >= floors[folder]:
            wrong.append(f"{path}: includes {included}/ (floor {floors[included]}) from floor {floors[folder]}")
    return wrong


class Layers(unittest.TestCase):
    def test_every_folder_has_a_floor(self):
        folders = {f for f in os.listdir(SOURCES) if os.path.isdir(os.path.join(SOURCES, f))}
        self.assertEqual(folders, set(FLOORS))

    def test_includes_point_down(self):
        self.assertEqual(knots(project_includes(), FLOORS), [])

    def test_an_include_that_points_up_is_found(self):
        # The knot this layering exists to keep out: a stage speaking the run
        # sequence's words.
        planted = [("payload", "src/payload/x.h", "entry"), ("text", "src/text/y.h", "outcome"),
                   ("launch", "src/launch/z.h", "text")]
        self.assertEqual(knots(planted, FLOORS), [
            "src/payload/x.h: includes entry/ (floor 4) from floor 3",
            "src/text/y.h: includes outcome/ (floor 0) from floor 0",
        ])


if __name__ == "__main__":
    unittest.main()
