"""Which library files are mutated: the ones named, or by default every source and every header
with code that this platform builds; and which of their mutants, when a run samples them."""

import os
import random
import re

from . import ROOT
from .faults import find_mutants
from .source import matching_paren

SOURCE_SUFFIXES = (".cpp", ".cc")
HEADER_SUFFIXES = (".h", ".hpp")
LIBRARY_FOLDERS = ("src", "include")


def library_files():
    """Every source and header under src/ and include/ built on this platform, relative to ROOT."""
    files = []
    for top in LIBRARY_FOLDERS:
        for folder, subfolders, names in os.walk(os.path.join(ROOT, top)):
            subfolders.sort()
            files += [os.path.relpath(os.path.join(folder, n), ROOT) for n in sorted(names)
                      if n.endswith(SOURCE_SUFFIXES + HEADER_SUFFIXES)
                      and built_here(os.path.join(folder, n))]
    return files


def default_files():
    """The sources built here, and the headers built here that hold code: a header with an inline
    function, a template or an initialised constant is compiled into every caller, so its faults are
    as real as a source's. A header the tool finds no mutant in (declarations only) is left out."""
    files = []
    for path in library_files():
        if path.endswith(SOURCE_SUFFIXES):
            files.append(path)
        else:
            with open(os.path.join(ROOT, path), encoding="utf-8") as handle:
                if find_mutants(path, handle.read()):
                    files.append(path)
    return files


def built_here(source):
    """Whether a build on this platform compiles source (an absolute path). The nearest CMakeLists.txt
    decides: a source, or failing that its folder, named there only in branches that a Windows build
    alone reads (`if(WIN32)`, the `else()` of `if(NOT WIN32)`) is not built here. Files it never
    names, like headers, are built."""
    folder = os.path.dirname(source)
    cmake_lists = os.path.join(folder, "CMakeLists.txt")
    while not os.path.exists(cmake_lists) and folder != ROOT:
        folder = os.path.dirname(folder)
        cmake_lists = os.path.join(folder, "CMakeLists.txt")
    with open(cmake_lists, encoding="utf-8") as handle:
        text = _strip_cmake_comments(handle.read())
    spans = _windows_only_spans(text)
    name = os.path.relpath(source, folder).replace(os.sep, "/")
    while name not in ("", "."):
        places = [m.start() for m in re.finditer(r"(?<![\w./-])" + re.escape(name) + r"(?![\w.-])", text)]
        if places:
            return any(not _in_windows_span(spans, place) for place in places)
        name = os.path.dirname(name)
    return True


def _strip_cmake_comments(text):
    lines = []
    for line in text.split("\n"):
        quoted = False
        for i, c in enumerate(line):
            if c == '"' and (i == 0 or line[i - 1] != "\\"):
                quoted = not quoted
            elif c == "#" and not quoted:
                line = line[:i]
                break
        lines.append(line)
    return "\n".join(lines)


def _windows_only_spans(text):
    """The (start, end) spans of text inside a conditional branch that only a Windows build takes."""
    spans = []
    # Per open if(): whether the branch being read is Windows only, and whether the branches still
    # to come are (they are after if(NOT WIN32)).
    stack = []
    last = 0
    for match in re.finditer(r"(?mi)^[ \t]*(if|elseif|else|endif)[ \t]*\(", text):
        close = matching_paren(text, match.end() - 1)
        condition = " ".join(text[match.end():close].split()) if close != -1 else ""
        if any(branch for branch, _ in stack):
            spans.append((last, match.start()))
        word = match.group(1).lower()
        if word == "if":
            stack.append((condition == "WIN32", condition == "NOT WIN32"))
        elif word == "elseif" and stack:
            rest = stack[-1][1]
            stack[-1] = (rest or condition == "WIN32", rest or condition == "NOT WIN32")
        elif word == "else" and stack:
            stack[-1] = (stack[-1][1], stack[-1][1])
        elif word == "endif" and stack:
            stack.pop()
        last = close + 1 if close != -1 else match.end()
    return spans


def _in_windows_span(spans, offset):
    return any(start <= offset < end for start, end in spans)


def library_path(name):
    """name (as given on the command line) relative to ROOT, checked to be a library file."""
    path = os.path.relpath(os.path.abspath(name), ROOT)
    if not path.startswith(tuple(folder + os.sep for folder in LIBRARY_FOLDERS)) or \
            not os.path.isfile(os.path.join(ROOT, path)):
        raise SystemExit(f"mutants: {name} is not a library source under src/ or include/")
    return path


def select_mutants(files, max_per_file, seed):
    """The mutants of files (all, or a repeatable sample of max_per_file each) and the files' texts."""
    selected, texts = [], {}
    for name in files:
        path = library_path(name)
        with open(os.path.join(ROOT, path), encoding="utf-8") as handle:
            texts[path] = handle.read()
        mutants = find_mutants(path, texts[path])
        if max_per_file is not None and len(mutants) > max_per_file:
            sampler = random.Random(f"{seed}:{path}")
            mutants = sorted(sampler.sample(mutants, max_per_file), key=lambda m: m.start)
        selected += mutants
    return selected, texts
