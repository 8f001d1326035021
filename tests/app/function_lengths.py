#!/usr/bin/env python3
"""Lists the C++ functions longer than a limit, counted from the first line of the definition to
its closing brace, lambdas included in the function that holds them.

    python3 tests/app/function_lengths.py [--limit 60] [--all] app/

Exits 1 when a function is over the limit. It reads the source text, not the compiler's tree:
comments, string and character literals (raw strings too) are blanked first, then each `{` is
classed by what comes before it: a namespace, class, struct, union or enum body is entered, a
brace after `)` (with qualifiers, a trailing return type or a member initializer list) outside
any function opens a function body, a brace inside parentheses is an argument, anything else is
part of what surrounds it."""

import argparse
import pathlib
import re
import sys

CONTROL = re.compile(r"^(if|for|while|switch|catch|else|do|try)\b")
SCOPE = re.compile(r"^(?:template\s*<.*>\s*)?(namespace|class|struct|union|enum|extern)\b", re.S)


def blank(text):
    """The text with comments and literals replaced by spaces; newlines are kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and i + 1 < n and text[i + 1] == '"' and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2:j]))
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # a digit separator: 1'000
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def is_function_header(header):
    h = " ".join(header.split())
    if not h or CONTROL.match(h) or "=" in h.split("(")[0]:
        return False
    if h.startswith("[") or re.search(r"\]\s*(\(.*\))?\s*(mutable\s*)?(->.*)?$", h):
        return False  # a lambda
    if "(" not in h:
        return False
    # What may follow the parameter list: qualifiers, a trailing return type, an initializer list.
    tail = h[h.rfind(")") + 1:] if ":" not in h.split(")")[-1] else ""
    return re.fullmatch(r"\s*((const|override|final|noexcept|volatile|&|&&)\s*)*(->\s*[\w:<>,\s*&]+)?\s*", tail) is not None \
        or re.search(r"\)\s*(const\s*)?(noexcept\s*)?:\s*\w", h) is not None


def functions(path):
    text = blank(path.read_text())
    line_of = [0] * (len(text) + 1)
    line = 1
    for i, ch in enumerate(text):
        line_of[i] = line
        if ch == "\n":
            line += 1
    stack = []  # per open brace: "scope", "function" or "other"
    start = 0  # where the text before the next brace begins
    found = []
    opened = []  # (line where the function starts, name) for function braces
    for i, ch in enumerate(text):
        if ch in ";":
            if not any(k == "function" for k in stack):
                start = i + 1
        elif ch == "{":
            inside = any(k == "function" for k in stack)
            header = text[start:i].strip()
            if inside:
                stack.append("other")
            elif header.count("(") > header.count(")"):
                stack.append("argument")  # a braced argument, as in a member initializer: rig_({...})
                continue
            elif SCOPE.match(" ".join(header.split())):
                stack.append("scope")
            elif is_function_header(header):
                stack.append("function")
                first = start + (len(text[start:i]) - len(text[start:i].lstrip()))
                name = re.findall(r"([~\w:]+)\s*\(", header)
                opened.append((line_of[first], name[0] if name else "?"))
            else:
                stack.append("other")
            start = i + 1
        elif ch == "}":
            kind = stack.pop() if stack else "scope"
            if kind == "argument":
                continue
            if kind == "function":
                first, name = opened.pop()
                found.append((name, first, line_of[i] - first + 1))
            if not any(k == "function" for k in stack):
                start = i + 1
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("paths", nargs="+", help="files or folders (*.cpp and *.h in them)")
    parser.add_argument("--limit", type=int, default=60)
    parser.add_argument("--all", action="store_true", help="list every function, longest first")
    args = parser.parse_args()
    files = []
    for p in map(pathlib.Path, args.paths):
        files += sorted(p.glob("*.cpp")) + sorted(p.glob("*.h")) if p.is_dir() else [p]
    rows = [(length, f"{f}:{first}", name) for f in files for name, first, length in functions(f)]
    rows.sort(reverse=True)
    over = [r for r in rows if r[0] > args.limit]
    for length, place, name in rows if args.all else over:
        print(f"{length:5} {place} {name}")
    sys.stdout.flush()
    if over:
        print(f"{len(over)} function(s) longer than {args.limit} lines", file=sys.stderr)
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
