"""Which tests are near a library file: the ones its mutants most likely fail, run first so that a run
that stops at the first failure stops early.

A test is near a file when its program or its own name starts with the file's stem (VersionTests,
PlatformCrashTest.*), or when its program's own sources include the file's header. The same holds
one step out, through the library files that include the file's header: the file system layer is
reached through FileIntegrity, so FileIntegrityTests are near src/platform/linux/PlatformFile.cpp.
A file's header is the one whose name is the file's own (Version.cpp: Plinth/Version.h), or the
longest that begins it (MinidumpProcessorX86_64.cpp: MinidumpProcessor.h); a header is its own.

The programs' sources come from the build: Ninja names the objects each program links and
compile_commands.json the source of each object. Library objects linked into a test program are
not its own sources.
"""

import json
import os
import re

from . import ROOT
from .processes import run
from .selection import HEADER_SUFFIXES, LIBRARY_FOLDERS, library_files

INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*[<"]([^>"]+)[>"]', re.M)


def stem(path):
    return os.path.splitext(os.path.basename(path))[0]


def _includes(root, path):
    """The files (relative to root) that path includes directly, among those that exist."""
    try:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as handle:
            text = handle.read()
    except OSError:
        return set()
    found = set()
    for name in INCLUDE.findall(text):
        for base in (os.path.dirname(path),) + LIBRARY_FOLDERS + ("tests",):
            candidate = os.path.normpath(os.path.join(base, name))
            if os.path.isfile(os.path.join(root, candidate)):
                found.add(candidate)
                break
    return found


class Neighbourhood:
    def __init__(self, build, tree, tests):
        """tests: the runnable tests (testing.Test) of the build made from tree."""
        self.tests = tests
        self.library = library_files()
        self.headers = [f for f in self.library if f.endswith(HEADER_SUFFIXES)]
        self.library_includes = {f: _includes(ROOT, f) for f in self.library}
        own_sources = _program_sources(build, tree, {o for t in tests for o in (t.outputs or ())})
        self.program_includes = {program: set().union(*(_includes(tree, s) for s in sources))
                                 for program, sources in own_sources.items()}

    def interface(self, path):
        if path.endswith(HEADER_SUFFIXES):
            return {path}
        name = stem(path)
        prefixes = [h for h in self.headers if name.startswith(stem(h))]
        longest = max((len(stem(h)) for h in prefixes), default=0)
        return {h for h in prefixes if len(stem(h)) == longest}

    def near(self, path):
        """The names of the tests near the library file path (relative to ROOT)."""
        stems, headers = {stem(path)}, set(self.interface(path))
        for user, included in self.library_includes.items():
            if user != path and included & self.interface(path):
                stems.add(stem(user))
                headers |= self.interface(user)
        stems = tuple(stems)
        near = set()
        for test in self.tests:
            programs = test.outputs or ()
            if test.name.startswith(stems) or \
                    any(os.path.basename(p).startswith(stems) for p in programs) or \
                    any(self.program_includes.get(p, set()) & headers for p in programs):
                near.add(test.name)
        return near


def _program_sources(build, tree, programs):
    """{program: its own sources, relative to tree} for programs (build outputs relative to build)."""
    commands_file = os.path.join(build, "compile_commands.json")
    if not os.path.exists(commands_file):
        return {}
    with open(commands_file, encoding="utf-8") as handle:
        commands = json.load(handle)
    source_of = {}
    for command in commands:
        output = command.get("output") or _output_argument(command.get("command", ""))
        if output:
            output = os.path.relpath(os.path.join(command.get("directory", build), output), build)
            source_of[output] = os.path.relpath(command["file"], tree)
    library = tuple(folder + os.sep for folder in LIBRARY_FOLDERS)
    sources = {}
    for program in sorted(programs):
        objects = _linked_objects(build, program)
        sources[program] = [source_of[o] for o in objects
                            if o in source_of and not source_of[o].startswith(library)]
    return sources


def _output_argument(command):
    match = re.search(r"(?:^|\s)-o\s+(\S+)", command)
    return match.group(1) if match else None


def _linked_objects(build, program):
    code, output = run(["ninja", "-C", build, "-t", "query", program])
    if code != 0:
        return []
    objects, reading = [], False
    for line in output.splitlines():
        stripped = line.strip()
        if stripped.startswith("input:"):
            reading = True
        elif stripped.startswith("outputs:"):
            reading = False
        elif reading and stripped.endswith(".o"):
            objects.append(stripped)
    return objects
