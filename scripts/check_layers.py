#!/usr/bin/python3
"""Checks that the code under src/ keeps its layers.

The layers, their folders and what each stands on are one table, scripts/layers.txt
(lowest layer first). Every #include line of every source file under src/ is read and
resolved the way the compiler does for this project: a quoted name first beside the
including file, then below src/ (the one include folder of the libraries). The check
fails on
  - an include of a layer that is not below the including one (upward, or across to a
    layer beside it), naming the file, the line and both layers;
  - an include of a layer that the including layer's row names with "!" (one it stands
    on only through another: the program reaches the window's logic only through the
    window);
  - a Qt header included by a layer the table does not mark "qt" (the core builds and
    runs without Qt);
  - an include cycle between layers;
  - a source file, or an included file, in a folder under src/ that no layer holds, so a
    new or moved folder cannot slip past the table.
Includes that resolve outside src/ (system and library headers, resource files) are not
layers and are passed over. Only directive lines count: an #include inside a block
comment is read as an include too.

Usage: check_layers.py [--root DIR] [--table FILE]
  --root   the source tree (default: the one this script lies in)
  --table  the layer table (default: ROOT/scripts/layers.txt)
Exit status: 0 when the layers hold, 1 when a file breaks them (each problem on a line
"FILE:LINE: ..." on standard error), 2 when the table or the arguments are wrong.
"""

import argparse
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inc", ".ipp")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*([<"])([^">]*)[">]')
# Qt's headers: <QtWidgets/QWidget>, <QtCore>, <Qt>, <QWidget>, <QObject> ...
QT_HEADER_RE = re.compile(r"^(Qt[A-Za-z0-9_]*(/.*)?|Q[A-Z][A-Za-z0-9_]*)$")
TOP_FOLDER = "."


class TableError(Exception):
    pass


class Layer:
    def __init__(self, name, folders, qt, below, line):
        self.name = name
        self.folders = folders
        self.qt = qt
        self.below = below
        self.line = line
        self.reach = set()  # every layer below this one, directly or through others
        self.barred = set()  # layers below it that it must not include itself ("!name")


def read_table(path):
    """Returns the layers in table order; raises TableError on a malformed table."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise TableError(f"{path}: cannot read the layer table ({e.strerror})")
    layers = []
    by_name = {}
    folder_owner = {}
    for number, text in enumerate(lines, 1):
        text = text.split("#", 1)[0].strip()
        if not text:
            continue
        where = f"{path}:{number}"
        cols = text.split()
        if len(cols) < 3:
            raise TableError(f"{where}: a layer needs a name, its folders and a Qt mark")
        name, folders, qt = cols[0], cols[1].split(","), cols[2]
        below = [c for c in cols[3:] if not c.startswith("!")]
        barred = [c[1:] for c in cols[3:] if c.startswith("!")]
        if qt not in ("qt", "-"):
            raise TableError(f'{where}: the Qt mark of {name} is "{qt}"; it must be "qt" or "-"')
        if name in by_name:
            raise TableError(f"{where}: layer {name} is listed twice")
        layer = Layer(name, [], qt == "qt", below, number)
        for folder in folders:
            folder = os.path.normpath(folder) if folder else ""
            if not folder or folder.startswith("..") or os.path.isabs(folder):
                raise TableError(f'{where}: "{cols[1]}" is not a folder under src/')
            if folder in folder_owner:
                raise TableError(f"{where}: folder {folder} belongs to {folder_owner[folder]} already")
            folder_owner[folder] = name
            layer.folders.append(folder)
        for lower in below:
            if lower == name:
                raise TableError(f"{where}: layer {name} cannot stand on itself")
            if lower not in by_name:
                raise TableError(
                    f"{where}: {name} stands on {lower}, which is not listed before it "
                    "(the table lists the lowest layer first, so it cannot hold a cycle)")
            layer.reach |= {lower} | by_name[lower].reach
        for other in barred:
            if other not in by_name or other == name:
                raise TableError(f'{where}: {name} bars "!{other}", which is not a layer listed before it')
            if other in below:
                raise TableError(f"{where}: {name} both stands on {other} and bars it")
            layer.barred.add(other)
        layers.append(layer)
        by_name[name] = layer
    if not layers:
        raise TableError(f"{path}: the layer table lists no layer")
    return layers


class Checker:
    def __init__(self, root, layers, table_name):
        self.root = root
        self.src = os.path.join(root, "src")
        self.layers = {layer.name: layer for layer in layers}
        self.order = [layer.name for layer in layers]
        self.table_name = table_name
        self.problems = []
        self.edges = {}  # (from layer, to layer) -> first (file, line, include name)
        self.files = 0

    def layer_of(self, rel):
        """The layer holding the file at rel (a path below src/), or None."""
        folder = os.path.dirname(rel)
        best, best_len = None, -1
        for layer in self.layers.values():
            for own in layer.folders:
                if own == TOP_FOLDER:
                    hit = folder == ""
                else:
                    hit = folder == own or folder.startswith(own + "/")
                if hit and len(own) > best_len:
                    best, best_len = layer, len(own)
        return best

    def below_src(self, path):
        """path relative to src/ when it lies below src/, else None."""
        rel = os.path.relpath(os.path.normpath(path), self.src)
        if rel == "." or rel.startswith(".." + os.sep) or rel == "..":
            return None
        return rel.replace(os.sep, "/")

    def resolve(self, including, kind, name):
        """The path below src/ of the file an include names, or None when it lies outside."""
        if kind == '"':
            beside = os.path.join(os.path.dirname(including), name)
            if os.path.isfile(beside):
                return self.below_src(beside)
        # A name that is no file below src/ is a system or library header (<string>,
        # <net/if.h>, "curl/curl.h"): the compiler finds it outside, so it is no layer's.
        below = os.path.join(self.src, name)
        if os.path.isfile(below):
            return self.below_src(below)
        return None

    def report(self, where, text):
        self.problems.append(f"{where}: {text}")

    def allowed_text(self, layer):
        lower = [n for n in reversed(self.order) if n in layer.reach and n not in layer.barred]
        return ", ".join(lower) if lower else "nothing below it"

    def check_file(self, path):
        rel_root = os.path.relpath(path, self.root)
        rel = self.below_src(path)
        layer = self.layer_of(rel)
        if layer is None:
            self.report(rel_root, f"its folder under src/ is in no layer of {self.table_name}")
            return
        self.files += 1
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError as e:
            self.report(rel_root, f"cannot read it ({e.strerror})")
            return
        for number, text in enumerate(lines, 1):
            m = INCLUDE_RE.match(text)
            if not m:
                continue
            kind, name = m.group(1), m.group(2).strip()
            shown = f"{kind}{name}{'>' if kind == '<' else kind}"
            where = f"{rel_root}:{number}"
            if QT_HEADER_RE.match(name) and not layer.qt:
                qt_layers = [n for n in self.order if self.layers[n].qt]
                self.report(where, f"{layer.name} includes the Qt header {shown}; only "
                            f"{', '.join(qt_layers) or 'no layer'} may include Qt")
                continue
            target_rel = self.resolve(path, kind, name)
            if target_rel is None:
                continue
            target = self.layer_of(target_rel)
            if target is None:
                self.report(where, f"{layer.name} includes {shown}, which lies in a folder "
                            f"under src/ that is in no layer of {self.table_name}")
                continue
            if target is layer:
                continue
            self.edges.setdefault((layer.name, target.name), (rel_root, number, shown))
            if target.name in layer.barred:
                self.report(where, f"{layer.name} includes {target.name} ({shown}), which its row in "
                            f"{self.table_name} bars; {layer.name} may include only "
                            f"{self.allowed_text(layer)}")
                continue
            if target.name in layer.reach:
                continue
            if layer.name in target.reach:
                what = f"upward include: {layer.name} includes {target.name}, which lies above it"
            else:
                what = (f"include across layers: {layer.name} includes {target.name}, "
                        "which is not below it")
            self.report(where, f"{what} ({shown}); {layer.name} may include only "
                        f"{self.allowed_text(layer)}")

    def check_cycles(self):
        """Reports each group of layers that include each other round a cycle."""
        graph = {name: [] for name in self.order}
        for (a, b) in sorted(self.edges, key=lambda e: (self.order.index(e[0]),
                                                          self.order.index(e[1]))):
            graph[a].append(b)
        for group in strongly_connected(self.order, graph):
            if len(group) < 2:
                continue
            start = min(group, key=self.order.index)
            path = cycle_through(start, graph, set(group))
            steps = "; ".join(f"{f}:{n} includes {s}"
                              for f, n, s in (self.edges[(a, b)]
                                              for a, b in zip(path, path[1:])))
            self.report(self.edges[(path[0], path[1])][0] + ":" +
                        str(self.edges[(path[0], path[1])][1]),
                        f"include cycle between layers: {' -> '.join(path)} ({steps})")

    def run(self):
        if not os.path.isdir(self.src):
            raise TableError(f"{self.src}: no such folder")
        for folder, dirs, names in os.walk(self.src):
            dirs.sort()
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    self.check_file(os.path.join(folder, name))
        self.check_cycles()


def strongly_connected(nodes, graph):
    """Tarjan's algorithm: the groups of nodes that reach each other."""
    index, low, on_stack, stack, groups = {}, {}, set(), [], []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            groups.append(group)

    for v in nodes:
        if v not in index:
            visit(v)
    return groups


def cycle_through(start, graph, group):
    """A shortest path start -> ... -> start inside group (breadth first)."""
    previous = {}
    queue = [start]
    while queue:
        v = queue.pop(0)
        for w in graph[v]:
            if w not in group:
                continue
            if w == start:
                path = [v]
                while path[-1] != start:
                    path.append(previous[path[-1]])
                return list(reversed(path)) + [start]
            if w not in previous:
                previous[w] = v
                queue.append(w)
    return [start, start]


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Checks the layers of the code under src/.")
    parser.add_argument("--root", default=os.path.dirname(here))
    parser.add_argument("--table")
    args = parser.parse_args(argv)
    root = os.path.abspath(args.root)
    table = args.table or os.path.join(root, "scripts", "layers.txt")
    table_name = os.path.relpath(table, root) if not args.table else table
    try:
        layers = read_table(table)
        checker = Checker(root, layers, table_name)
        checker.run()
    except TableError as e:
        print(f"check_layers: {e}", file=sys.stderr)
        return 2
    for problem in checker.problems:
        print(problem, file=sys.stderr)
    if checker.problems:
        print(f"check_layers: {len(checker.problems)} problem(s); the layers are listed in "
              f"{table_name}", file=sys.stderr)
        return 1
    qt_layers = ", ".join(layer.name for layer in layers if layer.qt) or "no layer"
    print(f"check_layers: {checker.files} files in {len(layers)} layers: every include goes "
          f"down, Qt only in {qt_layers}, no include cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
