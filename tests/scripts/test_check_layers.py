#!/usr/bin/python3
"""Tests of scripts/check_layers.py on small source trees built in a temporary folder.

Each tree has its own layer table (a short stack with two layers side by side, like net and
backup) and a few headers; the script runs as the build runs it, and its exit status and
messages are checked.
"""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "check_layers.py")

TABLE = """\
# lowest first
base    base    -
core    core    -   base
left    left    -   core
right   right   -   core
top     top     -   left right
ui      ui      qt  top
program .       -   ui
"""


class LayerTree:
    def __init__(self, folder, table=TABLE):
        self.root = folder
        self.write("scripts/layers.txt", table)
        # A clean tree: every layer includes the one below it.
        self.write("src/base/base.h", "#pragma once\n#include <string>\n")
        self.write("src/core/core.h", '#pragma once\n#include "base/base.h"\n')
        self.write("src/left/left.h", '#pragma once\n#include "core/core.h"\n')
        self.write("src/right/right.h", '#pragma once\n#include "core/core.h"\n')
        self.write("src/top/top.h", '#include "left/left.h"\n#include "right/right.h"\n')
        self.write("src/ui/window.h", '#include <QWidget>\n#include "top/top.h"\n')
        self.write("src/main.cpp", '#include "ui/window.h"\n#include "program/wiring.h"\n')
        self.write("src/wiring.h", '#include "base/base.h"\n')

    def write(self, rel, text):
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

    def check(self):
        run = subprocess.run([sys.executable, SCRIPT, "--root", self.root],
                             capture_output=True, text=True, timeout=60)
        return run.returncode, run.stdout + run.stderr


class CheckLayersTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tree = LayerTree(self.dir.name)

    def tearDown(self):
        self.dir.cleanup()

    def assertFails(self, *texts):
        status, out = self.tree.check()
        self.assertEqual(status, 1, out)
        for text in texts:
            self.assertIn(text, out)
        return out

    def test_clean_tree_passes(self):
        # Includes that skip layers downwards, system headers whose folder is named like a
        # layer and files outside src/ are all fine.
        self.tree.write("src/ui/skip.cpp", '#include "base/base.h"\n#include <core/missing.h>\n'
                        '#include "../../res/data.inc"\n#include <net/if.h>\n')
        self.tree.write("res/data.inc", '"text"\n')
        status, out = self.tree.check()
        self.assertEqual(status, 0, out)
        self.assertIn("every include goes down", out)

    def test_upward_include_names_file_line_and_layers(self):
        self.tree.write("src/core/engine.cpp",
                        '#include "core/core.h"\n\n  #  include "top/top.h"\n')
        # top stands on core, so the upward include also closes a cycle, said as such.
        self.assertFails('src/core/engine.cpp:3: upward include: core includes top, '
                         'which lies above it ("top/top.h"); core may include only base',
                         "include cycle between layers: core -> top -> left -> core",
                         "2 problem(s)")

    def test_upward_include_through_a_relative_path(self):
        # A quoted name is found beside the including file first: "../ui/window.h" from
        # core reaches the ui layer without naming it at the start.
        self.tree.write("src/core/sneak.h", '#include "../ui/window.h"\n')
        self.assertFails("src/core/sneak.h:1: upward include: core includes ui")

    def test_same_folder_include_belongs_to_the_including_layer(self):
        # "wiring.h" from src/main.cpp is the program's own; "core.h" from src/core is
        # core's; a same-named file in src/ must not be taken for it.
        self.tree.write("src/core.h", '#include "ui/window.h"\n')
        self.tree.write("src/core/user.h", '#include "core.h"\n')
        status, out = self.tree.check()
        self.assertEqual(status, 0, out)

    def test_include_across_side_by_side_layers_fails(self):
        self.tree.write("src/left/bridge.h", '#include "right/right.h"\n')
        self.assertFails("src/left/bridge.h:1: include across layers: left includes right, "
                         "which is not below it")

    def test_cycle_between_layers_is_reported(self):
        self.tree.write("src/left/a.h", '#include "right/b.h"\n')
        self.tree.write("src/right/b.h", '#include "left/a.h"\n')
        self.assertFails("include cycle between layers: left -> right -> left "
                         '(src/left/a.h:1 includes "right/b.h"; '
                         'src/right/b.h:1 includes "left/a.h")')

    def test_qt_below_ui_fails(self):
        self.tree.write("src/top/model.h", "#include <QtCore/QString>\n")
        self.tree.write("src/base/text.cpp", "#include <QObject>\n#include <queue>\n")
        self.tree.write("src/program.cpp", "#include <QtWidgets>\n")
        out = self.assertFails(
            "src/top/model.h:1: top includes the Qt header <QtCore/QString>; "
            "only ui may include Qt",
            "src/base/text.cpp:1: base includes the Qt header <QObject>",
            "src/program.cpp:1: program includes the Qt header <QtWidgets>")
        self.assertNotIn("<queue>", out)

    def test_folder_without_layer_fails(self):
        self.tree.write("src/media/codec.h", '#include "base/base.h"\n')
        self.tree.write("src/core/uses.h", '#include "media/codec.h"\n')
        self.assertFails("src/media/codec.h: its folder under src/ is in no layer",
                         'src/core/uses.h:1: core includes "media/codec.h", which lies in a '
                         "folder under src/ that is in no layer")

    def test_moved_folder_needs_only_the_table(self):
        # A layer moved to a nested folder: the table names the new folder, nothing else
        # changes, and the includes of the new path are judged by it.
        self.tree.write("scripts/layers.txt", TABLE.replace("left    left", "left    media/left"))
        self.tree.write("src/media/left/left.h", '#pragma once\n#include "core/core.h"\n')
        self.tree.write("src/top/top.h", '#include "media/left/left.h"\n')
        os.remove(os.path.join(self.dir.name, "src/left/left.h"))
        os.rmdir(os.path.join(self.dir.name, "src/left"))
        status, out = self.tree.check()
        self.assertEqual(status, 0, out)
        self.tree.write("src/media/left/up.h", '#include "top/top.h"\n')
        self.assertFails("src/media/left/up.h:1: upward include: left includes top")

    def test_barred_layer_below_fails_though_reached_through_another(self):
        # The program stands on ui, which stands on top; "!top" keeps top to ui: the
        # program includes ui and whatever lies below top, never top itself.
        self.tree.write("scripts/layers.txt", TABLE.replace("program .       -   ui",
                                                            "program .       -   ui !top"))
        status, out = self.tree.check()
        self.assertEqual(status, 0, out)
        self.tree.write("src/core_use.cpp", '#include "left/left.h"\n#include "base/base.h"\n')
        status, out = self.tree.check()
        self.assertEqual(status, 0, out)
        self.tree.write("src/start.cpp", '#include "ui/window.h"\n#include "top/top.h"\n')
        out = self.assertFails('src/start.cpp:2: program includes top ("top/top.h"), which its '
                               "row in scripts/layers.txt bars; program may include only ui, "
                               "right, left, core, base", "1 problem(s)")
        self.assertNotIn("start.cpp:1", out)

    def test_malformed_table_is_refused(self):
        for table, text in [
            ("a a - b\nb b - a\n", "b, which is not listed before it"),
            ("a a -\na a2 - a\n", "layer a is listed twice"),
            ("a a -\nb a - a\n", "folder a belongs to a already"),
            ("a a yes\n", 'the Qt mark of a is "yes"'),
            ("a a - a\n", "layer a cannot stand on itself"),
            ("# nothing\n", "lists no layer"),
            ("a a -\nb b - a !c\n", 'b bars "!c", which is not a layer listed before it'),
            ("a a -\nb b - a !a\n", "b both stands on a and bars it"),
        ]:
            with self.subTest(table=table):
                self.tree.write("scripts/layers.txt", table)
                status, out = self.tree.check()
                self.assertEqual(status, 2, out)
                self.assertIn(text, out)


if __name__ == "__main__":
    unittest.main()
