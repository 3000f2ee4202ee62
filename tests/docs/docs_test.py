#!/usr/bin/env python3
"""Checks that the documents still match the program: one function per check,
listed in CHECKS, each yielding its problems. Usage: docs_test.py [SOURCE_DIR]"""
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2])
PROGRAM_DIRS = ("launcher", "keys", "net", "sys")
# A placeholder is <name> with what it is glued to on its left (sha256//<base64>, '<s>).
PLACEHOLDER = re.compile(r"\S*<[a-z0-9 :]+>|\.\.\.")
STRING = re.compile(r"'(?:[^'\\]|\\.)'|L?\"((?:[^\"\\\n]|\\.)*)\"")


def source_literals():
    """Per program source file, its string literals: a line may be logged in
    pieces, some of them passed in or chosen by a condition."""
    for folder in PROGRAM_DIRS:
        for path in sorted((ROOT / folder).glob("*.[ch]*")):
            found = (m.group(1) for m in STRING.finditer(path.read_text(encoding="utf-8")))
            yield {re.sub(r"\\(.)", lambda m: {"n": "\n"}.get(m.group(1), m.group(1)), f) for f in found if f}


def pieced(text, literals):
    """True when text is literals end to end, the first and last possibly cut."""
    reached = {0}
    for i in range(len(text)):
        if i not in reached:
            continue
        for literal in literals:
            if (text in literal) if i == 0 else literal.startswith(text[i:]):
                return True
            if i == 0:
                reached.update(len(literal) - k for k in range(len(literal)) if text.startswith(literal[k:]))
            elif text.startswith(literal, i):
                reached.add(i + len(literal))
    return len(text) in reached


def quoted_lines(readme):
    """The backticked texts in the log-line columns ("Line", "Text") of README's tables."""
    column = None
    for row in readme.splitlines():
        cells = [c.strip() for c in re.split(r"(?<!\\)\|", row)[1:-1]] if row.startswith("|") else []
        if not cells:
            column = None
        elif column is None:
            column = next((i for i, c in enumerate(cells) if c in ("Line", "Text")), -1)
        elif column >= 0 and not set(cells[0]) <= set("-: "):
            yield from re.findall(r"`([^`]+)`", cells[column])


def check_log_lines():
    files = list(source_literals())
    for line in quoted_lines((ROOT / "README.md").read_text(encoding="utf-8")):
        fragments = [f for f in PLACEHOLDER.split(line) if f.strip()]
        if not any(all(pieced(f, literals) for f in fragments) for literals in files):
            yield f"README quotes a line no program source writes: {line}"


def check_architecture_paths():
    """Every repository path ARCHITECTURE.md names in backticks exists; build output aside."""
    for name in re.findall(r"`([^`\n]+)`", (ROOT / "ARCHITECTURE.md").read_text(encoding="utf-8")):
        if (re.fullmatch(r"\.?[\w.-]+(/[\w.*-]+)*/?", name) and not name.startswith("build/")
                and ("/" in name or re.search(r"\.(md|txt|json|cpp|h|py|sh|cmake|mc|rc|wxs|def|manifest)$", name))
                and not any(ROOT.glob(name.rstrip("/")))):
            yield f"ARCHITECTURE.md names a path that does not exist: {name}"


def layer_table():
    """Per folder of ARCHITECTURE.md's code map, what it may include: the folders its row names (all below it
    for "every layer below"), itself, and the build's event header where the row names resources/events.mc."""
    rows = []
    for row in (ROOT / "ARCHITECTURE.md").read_text(encoding="utf-8").splitlines():
        cells = [c.strip() for c in row.split("|")[1:-1]]
        if len(cells) == 4 and re.fullmatch(r"`\w+/`", cells[0]):
            rows.append((cells[0].strip("`/"), cells[2]))
    for i, (folder, may) in enumerate(rows):
        below = {f for f, _ in rows[i + 1:]} if "every layer below" in may else set()
        named = set(re.findall(r"`(\w+)/`", may)) | ({"events.h"} if "resources/events.mc" in may else set())
        yield folder, named | below | {folder}


def check_include_layers():
    """Every #include "..." of a program folder points at its own folder or one its row allows."""
    allowed = dict(layer_table())
    if len(allowed) < 6:
        yield f"ARCHITECTURE.md's code map names {len(allowed)} folders, not the program's six"
    for folder, may in allowed.items():
        for path in sorted((ROOT / folder).glob("*.[ch]*")):
            for target in re.findall(r'^\s*#\s*include\s*"([^"]+)"', path.read_text(encoding="utf-8"), re.M):
                if (target.split("/")[0] if "/" in target else target) not in may:
                    yield f"{folder}/{path.name} includes {target}, which its layer may not"


CHECKS = [("README log lines are the program's", check_log_lines),
          ("ARCHITECTURE.md names only paths that exist", check_architecture_paths),
          ("includes point down the code map's layers", check_include_layers)]


def main():
    failures = 0
    for name, check in CHECKS:
        problems = list(check())
        print(f"{'FAIL' if problems else 'ok'}: {name}", *(f"  {p}" for p in problems), sep="\n")
        failures += len(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
