"""Reading C++ source: which characters are code, and the block structure around each of them."""

import bisect
import re
from dataclasses import dataclass

CODE, STRING, COMMENT, PREPROCESSOR = 0, 1, 2, 3

def classify(text):
    """Returns one kind per character: code, string or character literal, comment, preprocessor."""
    kinds = bytearray(len(text))
    i, n, line_start = 0, len(text), True

    def mark(begin, end, kind):
        for k in range(begin, end):
            kinds[k] = kind

    while i < n:
        c = text[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            end = i
            while True:
                end = text.find("\n", end)
                if end == -1:
                    end = n
                    break
                if text[end - 1] != "\\":
                    break
                end += 1
            mark(i, end, PREPROCESSOR)
            i = end
            continue
        line_start = False
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end == -1 else end
            mark(i, end, COMMENT)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end == -1 else end + 2
            mark(i, end, COMMENT)
            i = end
        elif c == '"':
            end = _string_end(text, i)
            mark(i, end, STRING)
            i = end
        elif c == "'" and not _is_digit_separator(text, i):
            end = i + 1
            while end < n and text[end] != "'":
                end += 2 if text[end] == "\\" else 1
            mark(i, min(end + 1, n), STRING)
            i = end + 1
        else:
            i += 1
    return kinds


def _string_end(text, quote):
    prefix = re.search(r"(?:u8|u|U|L)?R$", text[max(0, quote - 3):quote])
    if prefix:
        open_paren = text.find("(", quote)
        delimiter = ")" + text[quote + 1:open_paren] + '"'
        end = text.find(delimiter, open_paren)
        return len(text) if end == -1 else end + len(delimiter)
    end = quote + 1
    while end < len(text) and text[end] != '"':
        end += 2 if text[end] == "\\" else 1
    return min(end + 1, len(text))


def _is_digit_separator(text, i):
    start = i
    while start > 0 and (text[start - 1].isalnum() or text[start - 1] in "_'"):
        start -= 1
    return start < i and text[start].isdigit()


def blank(text, kinds, keep=(CODE,)):
    """The text with every character whose kind is not kept turned into a space (newlines stay)."""
    return "".join(c if kinds[i] in keep or c == "\n" else " " for i, c in enumerate(text))


def matching_paren(code, open_index):
    depth = 0
    for i in range(open_index, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


@dataclass
class Scope:
    kind: str  # namespace, class, function, block or init
    header: str
    open_index: int


def scan_blocks(code):
    """Walks the braces of code (strings and comments blanked). Returns, per character offset, the
    kind of the innermost scope, as sorted (offset, kind) change points, and the function bodies
    found as (open brace offset, close brace offset, header text)."""
    stack = [Scope("namespace", "", -1)]
    changes, functions = [(0, "namespace")], []
    boundary = 0
    paren_depth = 0
    for i, c in enumerate(code):
        if c == "(":
            paren_depth += 1
        elif c == ")":
            paren_depth -= 1
        elif c == ";" and paren_depth == 0:
            boundary = i + 1
        elif c == "{":
            header = " ".join(code[boundary:i].split())
            kind = _block_kind(stack[-1].kind, header)
            stack.append(Scope(kind, header, i))
            changes.append((i + 1, kind))
            if kind != "init" or stack[-2].kind not in ("namespace", "class"):
                boundary = i + 1
        elif c == "}":
            closed = stack.pop() if len(stack) > 1 else stack[0]
            if closed.kind == "function":
                functions.append((closed.open_index, i, closed.header))
            changes.append((i, stack[-1].kind))
            if closed.kind != "init" or stack[-1].kind not in ("namespace", "class"):
                boundary = i + 1
    return changes, functions


def _block_kind(outer, header):
    if outer in ("namespace", "class"):
        if re.match(r"^(namespace\b|extern\b)", header):
            return "namespace"
        if re.match(r"^(template\s*<.*>\s*)?(class|struct|union)\b", header) and "(" not in header:
            return "class"
        if "(" in header and re.search(r"(\)|\bconst|\bnoexcept|\boverride|\bfinal|\})$", header) and \
                not re.match(r"^(enum\b|.*=\s*[^=]*\()", header):
            return "function"
        return "init"
    if outer == "init":
        return "init"
    if header == "" or re.search(r"(\)|\]|\belse|\bdo|\btry|:|\bmutable|->\s*[\w:<>]+)$", header):
        return "block"
    return "init"


def scope_at(changes, offset):
    index = bisect.bisect_right(changes, (offset, "\x7f")) - 1
    return changes[index][1]

