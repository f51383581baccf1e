"""The mutants: small faults planted one at a time in a library source, and the list of those that no
caller could ever observe (equivalent mutants)."""

import bisect
import os
import re
import sys
from dataclasses import dataclass, field

from .source import CODE, PREPROCESSOR, STRING, blank, classify, matching_paren, scan_blocks, scope_at


@dataclass
class Mutant:
    path: str  # relative to the project root
    line: int
    start: int
    end: int
    replacement: str
    change: str
    original: str = ""  # the line before and after the change, stripped of comments
    mutated: str = ""
    status: str = "not run"
    # The tests that failed with the mutant in place. `complete` says that every selected test ran on
    # it, so that the list is the mutant's whole row of the kill matrix; `sanitized` that the run was
    # built with the sanitizers.
    failed_tests: list = field(default_factory=list)
    complete: bool = False
    sanitized: bool = False

    function: str = ""  # the enclosing function's name, to tell apart equal lines in one file
    ambiguous: bool = False  # another mutant of the file has the same change and mutated line

    def key(self):
        return (self.path, self.change, self.mutated)

    def equivalent_line(self):
        where = f"{self.path}:{self.function}" if self.ambiguous else self.path
        return f"{where} | {self.change} | {self.mutated}"

    def listed_in(self, equivalents):
        return (self.path, "", self.change, self.mutated) in equivalents or \
            (self.path, self.function, self.change, self.mutated) in equivalents


COMPARISON_FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
DROP_EXCLUDED_WORDS = {"return", "using", "typedef", "static_assert", "case", "default", "else",
                       "goto", "delete", "throw", "co_return"}
DECLARATION = re.compile(
    r"^(?:(?:const|static|constexpr|volatile|thread_local|unsigned|signed|long|short)\s+)*"
    r"(?:auto|[A-Za-z_][\w:]*(?:<.*>)?)(?:\s*[*&]+\s*|\s+)(?:const\s+)?[*&]*[A-Za-z_]\w*\s*[=({\[;]")
CALL_START = re.compile(r"^[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\s*\(")


def find_mutants(path, text):
    kinds = classify(text)
    code = blank(text, kinds)
    shown = blank(text, kinds, keep=(CODE, STRING, PREPROCESSOR))
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]

    # Arguments of a log statement are its message: only dropping the whole statement is a mutant.
    token_code = list(code)
    for match in re.finditer(r"\bPLINTH_LOG(?:_AS)?\s*\(", code):
        close = matching_paren(code, match.end() - 1)
        for k in range(match.start(), close + 1 if close != -1 else len(code)):
            if token_code[k] != "\n":
                token_code[k] = " "
    token_code = "".join(token_code)
    changes, functions = scan_blocks(code)

    found = []

    def add(start, end, replacement, change):
        found.append(Mutant(path, bisect.bisect_right(line_starts, start), start, end, replacement, change))

    def replace_all(pattern, replacement_of, change_of=None, condition=None):
        for match in re.finditer(pattern, token_code):
            if condition and not condition(match):
                continue
            old = match.group(0)
            new = replacement_of(old)
            add(match.start(), match.end(), new, change_of(old, new) if change_of else f"{old} -> {new}")

    def in_code_scope(match):
        return scope_at(changes, match.start()) in ("function", "block", "init")

    replace_all(r"(?<=\s)(<|>)(?=\s)|(?<![<>=!\-])(<=|>=|==|!=)(?![=<>])",
                lambda op: COMPARISON_FLIPS[op],
                condition=lambda m: not re.search(r"\boperator\s*$", token_code[:m.start()][-20:]))
    replace_all(r"(?<=\s)(&&|\|\|)(?=\s)", lambda op: "||" if op == "&&" else "&&")
    replace_all(r"(?<=\s)(\+|-|\+=|-=)(?=\s)", lambda op: op.translate(str.maketrans("+-", "-+")))
    replace_all(r"\+\+|--", lambda op: "--" if op == "++" else "++", condition=in_code_scope)
    replace_all(r"\b(true|false)\b", lambda word: "false" if word == "true" else "true")
    for match in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|[0-9][0-9']*)([uUlL]*)(?![\w.'])", token_code):
        digits, suffix = match.group(1), match.group(2)
        value = int(digits.replace("'", ""), 0) if not re.match(r"^0[0-7]", digits) else int(digits, 8)
        for new in (value + 1, value - 1):
            if new < 0:
                continue
            shown_new = (hex(new) if digits.lower().startswith("0x") else str(new)) + suffix
            add(match.start(), match.end(), shown_new, f"{match.group(0)} -> {shown_new}")
    for match in re.finditer(r"\b(if|while)\s*\(", token_code):
        if re.match(r"\s*constexpr\b", token_code[match.end():]):
            continue
        close = matching_paren(token_code, match.end() - 1)
        if close != -1:
            add(match.end(), close, "!(" + text[match.end():close] + ")", "negate condition")
    for brace, _, header in sorted(functions):
        returns_nothing = _returns_nothing(header)
        add(brace + 1, brace + 1, " return; " if returns_nothing else " return {}; ", "return early")
    found.extend(_dropped_statements(path, text, code, changes, line_starts))

    for mutant in found:
        line_end = text.find("\n", mutant.start)
        line_end = len(text) if line_end == -1 else line_end
        first = line_starts[mutant.line - 1]
        mutant.original = " ".join(shown[first:line_end].split())
        if mutant.change == "drop statement":
            mutant.mutated = "(dropped) " + mutant.original
        else:
            after = shown[first:mutant.start] + mutant.replacement + shown[mutant.end:line_end]
            mutant.mutated = " ".join(after.split("\n")[0].split())
    found.sort(key=lambda m: (m.start, m.change))
    _number_repeated_changes(found)
    for mutant in found:
        enclosing = [(open_brace, header) for open_brace, close, header in functions
                     if open_brace < mutant.start <= close]
        if enclosing:
            before_parameters = max(enclosing)[1].split("(")[0]
            name = re.search(r"[\w:~]*(?:operator\s*[^\s\w]+|[\w~]+(?:<[^()]*>)?)\s*$", before_parameters)
            mutant.function = name.group(0).strip() if name else before_parameters.split()[-1]
    keys = [m.key() for m in found]
    for mutant in found:
        mutant.ambiguous = keys.count(mutant.key()) > 1
    return found


def _returns_nothing(header):
    before_name = header.split("(")[0].split()
    words = [w for w in before_name[:-1] if w not in ("static", "inline", "virtual", "explicit", "constexpr")]
    return not words or words[-1] == "void" or before_name[-1].split("::")[-1].startswith("~")


def _dropped_statements(path, text, code, changes, line_starts):
    lines = code.split("\n")
    dropped = []
    previous_end = ""
    previous_line = ""
    depth = 0
    i = 0
    while i < len(lines):
        stripped = lines[i].strip()
        starts_statement = previous_end in (";", "{", "}") or re.match(
            r"^(case\b.*|default|public|private|protected)\s*:$", previous_line)
        offset = line_starts[i] + (len(lines[i]) - len(lines[i].lstrip()))
        if stripped and starts_statement and depth == 0 and \
                scope_at(changes, offset) in ("function", "block") and not stripped.startswith("}"):
            last = i
            if not stripped.endswith(";") and CALL_START.match(stripped):
                balance = stripped.count("(") - stripped.count(")")
                while last + 1 < len(lines) and balance > 0:
                    last += 1
                    balance += lines[last].count("(") - lines[last].count(")")
                if not lines[last].rstrip().endswith(";"):
                    last = i
            first_word = re.match(r"^\w*", stripped).group(0)
            whole = " ".join(" ".join(lines[i:last + 1]).split())
            if whole.endswith(";") and not whole.endswith("{};") and \
                    (first_word not in DROP_EXCLUDED_WORDS or whole == "return;") and \
                    (last > i or not DECLARATION.match(stripped)):
                end = line_starts[last] + len(lines[last].rstrip())
                dropped.append(Mutant(path, i + 1, offset, end, "", "drop statement"))
        depth += lines[i].count("(") - lines[i].count(")")
        if stripped:
            previous_end = stripped[-1]
            previous_line = stripped
        i += 1
    return dropped


def _number_repeated_changes(mutants):
    seen = {}
    for mutant in mutants:
        key = (mutant.path, mutant.line, mutant.change)
        seen[key] = seen.get(key, 0) + 1
        if seen[key] > 1:
            mutant.change += f" @{seen[key]}"



def read_equivalents(path):
    """The listed equivalent mutants, as {(file, function or "", change, mutated line): reason}.
    Each line of the list reads `src/File.cpp | <change> | <mutated line>  # reason`; where the same
    line and change occur twice in a file, the file is followed by the function (`src/File.cpp:F`)."""
    listed = {}
    if not os.path.exists(path):
        return listed
    with open(path, encoding="utf-8") as handle:
        for number, raw in enumerate(handle, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            entry, _, reason = line.rpartition(" # ")
            fields = [f.strip() for f in entry.split(" | ", 2)]
            if len(fields) != 3 or not reason.strip():
                print(f"mutants: {path}:{number}: expected 'file | change | line  # reason'",
                      file=sys.stderr)
                continue
            source, _, function = fields[0].partition(":")
            listed[(source, function, fields[1], fields[2])] = reason.strip()
    return listed
