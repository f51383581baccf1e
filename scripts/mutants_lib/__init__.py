"""Mutation testing for Plinth: small deliberate faults in library sources, one at a time.

Each mutant is written into a private copy of the source tree (build-mutants/tree<N>), rebuilt
incrementally (build-mutants/build<N>, -O0, no debug info; build<N>-sanitize with the sanitizers)
and run against the test suites. Every GoogleTest program runs once per mutant and reports each of
its cases in GoogleTest's XML; a program that crashes or hangs is run again one case per process, as
CTest runs it, so that every failing case is known: the mutant's row of the kill matrix. A mutant no
test catches "survived" and is printed with its file, line and change. A mutant that does not
compile is "not viable" and not counted; one that hangs past the time limit counts as killed.
Equivalent mutants (changes no test could ever catch) are listed, each with a reason, in
scripts/mutants-equivalent.txt as

    src/File.cpp | <change> | <mutated line, stripped>  # reason

Lines are matched by content, so the list survives edits elsewhere in the file; where the same line
and change occur twice in a file, the file is followed by the enclosing function
(src/File.cpp:Class::Function). For each survivor the tool prints its line ready to paste. The
developer's working tree is never written to.

Per file the score is killed / (viable - equivalent). The tool always exits 0 once the unmutated
build passes its tests; it exits 1 when the build or the unmutated tests fail.

The parts: source (reading C++), faults (making mutants, the equivalents list), selection (which
files), building (private trees and builds), testing (running the suites, the nearby tests),
reporting (scores, the JSON record, the kill matrix) and cli (the command line).
"""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WORK = os.path.join(ROOT, "build-mutants")
EQUIVALENTS = os.path.join(ROOT, "scripts", "mutants-equivalent.txt")
