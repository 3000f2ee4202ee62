#!/usr/bin/env python3
"""Runs clang-tidy and cppcheck over the program's sources as a Windows build
compiles them, and fails on every finding that scripts/analysis-suppressions.txt
does not name.

    scripts/static-analysis.py [BUILD_DIR]     (default build/windows)

The build folder must be configured with compile commands (the windows preset
exports them). Every C++ source of the source tree takes part except the
tests, fuzz targets and benchmarks, so a new program folder is analysed as
soon as the build compiles it. An entry of the suppression file that matches
nothing fails the run too: the file says only what is true today. So does
a NOLINT or cppcheck-suppress comment: the file is the one place to look.
"""
import concurrent.futures
import glob
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPRESSIONS = os.path.join(ROOT, "scripts", "analysis-suppressions.txt")
NOT_THE_PROGRAM = ("tests/", "fuzz/", "bench/", "build/")
TIDY_CHECKS = "-*,clang-analyzer-*,bugprone-*"
TARGET = "x86_64-w64-mingw32"


def program_entries(build_dir):
    """The compile database's entries for the program's own C++ sources."""
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        entries = json.load(f)
    kept = []
    for e in entries:
        path = os.path.relpath(os.path.join(e["directory"], e["file"]), ROOT)
        # windres' entries (resource scripts) are no C++ for either tool.
        if path.startswith("..") or path.startswith(NOT_THE_PROGRAM) or not path.endswith(".cpp"):
            continue
        kept.append(e)
    return kept


def clang_flags():
    """What Clang needs to read MinGW-w64's headers as GCC does (the same as
    cmake/clang-mingw-w64-x86_64.cmake)."""
    gcc_dir = sorted(glob.glob(f"/usr/lib/gcc/{TARGET}/*-posix"))[-1]
    cxx = f"{gcc_dir}/include/c++"
    flags = [f"--target={TARGET}", f"--sysroot=/usr/{TARGET}"]
    for d in (cxx, f"{cxx}/{TARGET}", f"{cxx}/backward"):
        flags += ["-stdlib++-isystem", d]
    return flags


def ere(text):
    return re.sub(r"([.\[\]{}()\\*+?^$|])", r"\\\1", text)


def relative(path):
    return os.path.relpath(os.path.normpath(path), ROOT)


def tidy_one(build_dir, source, flags, header_filter):
    cmd = ["clang-tidy", "--quiet", f"--checks={TIDY_CHECKS}", f"--header-filter={header_filter}",
           "-p", build_dir]
    cmd += [f"--extra-arg-before={f}" for f in flags]
    cmd.append(source)
    run = subprocess.run(cmd, capture_output=True, text=True)
    findings = []
    for line in run.stdout.splitlines():
        m = re.match(r"^(/[^:]+):(\d+):\d+: (warning|error): (.*) \[([\w.,-]+)\]$", line)
        if m:
            findings.append((relative(m[1]), int(m[2]), m[5], m[4]))
        elif re.match(r"^/[^:]+:\d+:\d+: error: ", line):
            # A source that does not compile for clang-tidy is a finding too.
            findings.append((relative(line.split(":")[0]), int(line.split(":")[1]), "clang-diagnostic-error", line))
    if run.returncode != 0 and not findings:
        findings.append((relative(source), 0, "clang-tidy-failed", run.stderr.strip()[-400:]))
    return findings


def run_clang_tidy(build_dir, entries):
    flags = clang_flags()
    sources = sorted({os.path.normpath(os.path.join(e["directory"], e["file"])) for e in entries})
    # The headers of the sources' folders are checked as the sources include
    # them (clang-tidy's expressions are POSIX ones: no look-ahead).
    folders = sorted({relative(s).split("/")[0] for s in sources})
    header_filter = "^" + ere(ROOT + "/") + "(" + "|".join(map(ere, folders)) + ")/"
    findings = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for result in pool.map(lambda s: tidy_one(build_dir, s, flags, header_filter), sources):
            findings.update(result)
    return findings, len(sources)


def run_cppcheck(build_dir, entries):
    work = os.path.join(build_dir, "analysis")
    os.makedirs(os.path.join(work, "cppcheck"), exist_ok=True)
    project = os.path.join(work, "compile_commands.json")
    with open(project, "w") as f:
        json.dump(entries, f, indent=1)
    cmd = ["cppcheck", f"--project={project}", "--library=windows", "--platform=win64",
           "--enable=warning,style,performance,portability", "--quiet",
           f"-j{os.cpu_count() or 2}", f"--cppcheck-build-dir={work}/cppcheck",
           "--template={file}\t{line}\t{id}\t{message}"]
    run = subprocess.run(cmd, capture_output=True, text=True)
    findings = set()
    for line in run.stderr.splitlines():
        parts = line.split("\t")
        if len(parts) == 4:
            findings.add((relative(parts[0]), int(parts[1] or 0), parts[2], parts[3]))
    if run.returncode != 0 and not findings:
        findings.add(("", 0, "cppcheck-failed", run.stderr.strip()[-400:]))
    return findings


def inline_suppressions(entries):
    """A NOLINT comment would hide a finding from the one reviewed list (cppcheck
    runs without --inline-suppr, so its comments hide nothing but say so)."""
    folders = {relative(os.path.join(e["directory"], e["file"])).split("/")[0] for e in entries}
    found = set()
    for folder in sorted(folders):
        for base, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in names:
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        if re.search(r"NOLINT|cppcheck-suppress", line):
                            found.add((relative(path), number, "inline-suppression",
                                       "suppress in scripts/analysis-suppressions.txt instead"))
    return found


def read_suppressions():
    """Lines of CHECK FILE TEXT -- REASON: a finding of CHECK in FILE whose
    message contains TEXT (no line numbers, so that edits elsewhere in the
    file leave the entry true)."""
    entries = []
    with open(SUPPRESSIONS) as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            what, sep, reason = line.partition(" -- ")
            fields = what.split(None, 2)
            if not sep or not reason.strip() or len(fields) != 3:
                sys.exit(f"{SUPPRESSIONS}:{number}: expected CHECK FILE TEXT -- REASON")
            entries.append({"check": fields[0], "file": fields[1], "text": fields[2].strip(),
                            "where": f"{relative(SUPPRESSIONS)}:{number}", "used": False})
    return entries


def suppressed(finding, entries):
    path, _, check, message = finding
    for e in entries:
        if e["check"] == check and e["file"] == path and e["text"] in message:
            e["used"] = True
            return True
    return False


def main():
    build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "windows"))
    entries = program_entries(build_dir)
    if not entries:
        sys.exit(f"no program sources in {build_dir}/compile_commands.json")
    # clang-tidy reads the generated event header as the compiler does.
    subprocess.run(["cmake", "--build", build_dir, "--target", "tollbury_events"], check=True,
                   stdout=subprocess.DEVNULL)
    tidy, count = run_clang_tidy(build_dir, entries)
    findings = sorted(tidy | run_cppcheck(build_dir, entries) | inline_suppressions(entries))
    rules = read_suppressions()
    new = [f for f in findings if not suppressed(f, rules)]
    for path, line, check, message in new:
        print(f"{path}:{line}: {check}: {message}")
    stale = [e for e in rules if not e["used"]]
    for e in stale:
        print(f"{e['where']}: matches no finding any more, take it out: {e['check']} {e['file']} {e['text']}")
    print(f"{count} sources: {len(findings)} findings, {len(findings) - len(new)} suppressed with a reason, "
          f"{len(new)} new; {len(stale)} stale suppressions")
    return 1 if new or stale else 0


if __name__ == "__main__":
    sys.exit(main())
