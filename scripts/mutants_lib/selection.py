"""Which library files are mutated: the ones named, or by default every source this platform
builds; and which of their mutants, when a run samples them."""

import os
import random
import re

from . import ROOT
from .faults import find_mutants


def default_files():
    files = []
    for folder, subfolders, names in os.walk(os.path.join(ROOT, "src")):
        # Only the platform layer built on this machine can be compiled and tested here.
        subfolders[:] = sorted(s for s in subfolders if s != "windows")
        files += [os.path.relpath(os.path.join(folder, n), ROOT) for n in sorted(names)
                  if n.endswith(".cpp") and built_here(os.path.join(folder, n))]
    return files


def built_here(source):
    """Whether the plain build compiles source: some sources are for one platform only."""
    cmake_lists = os.path.join(os.path.dirname(source), "CMakeLists.txt")
    folder = os.path.dirname(source)
    while not os.path.exists(cmake_lists) and folder != ROOT:
        folder = os.path.dirname(folder)
        cmake_lists = os.path.join(folder, "CMakeLists.txt")
    with open(cmake_lists, encoding="utf-8") as handle:
        text = handle.read()
    name = os.path.relpath(source, folder).replace(os.sep, "/")
    # A source listed only inside an if(WIN32) block is not built here.
    for block in re.finditer(r"if\(WIN32\)(.*?)(?:else\(\)|elseif\(|endif\(\))", text, re.S):
        if name in block.group(1):
            return False
    return True



def library_path(name):
    """name (as given on the command line) relative to ROOT, checked to be a library file."""
    path = os.path.relpath(os.path.abspath(name), ROOT)
    if not (path.startswith("src" + os.sep) or path.startswith("include" + os.sep)) or \
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
