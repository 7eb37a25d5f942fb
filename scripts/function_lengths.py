#!/usr/bin/env python3
"""Lengths of the functions in C and C++ files, by a simple brace scan.

    scripts/function_lengths.py [--over N] [--all] PATH...

A PATH is a file or a folder (searched for .c .cc .cpp .h .hpp files).
Prints every function longer than N lines (default 40) as
"path:line: name: length", the longest first, then one summary line; exits
with 1 when one was found, else 0. With --all every function is listed.

The length runs from the line that holds the function's name to the line of
its closing brace. The scan blanks comments, string and character literals
and preprocessor lines, then reads the braces: a block whose head (the text
since the previous ';', '{' or '}') ends in ')' plus qualifiers and does not
start with a control keyword is a function body; namespaces, extern "C",
classes and structs are looked into; anything inside a function (lambdas,
local classes) belongs to it. It reads no macros and no templates' angle
brackets, which is enough for this code base's plain functions.
"""
import argparse
import os
import re
import sys

SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp")
CONTROL = re.compile(r"^\s*(if|for|while|switch|catch|do|else|return|try)\b")
CONTAINER = re.compile(r"\b(namespace|class|struct|union|enum)\b|\bextern\s*\"")
FUNCTION_TAIL = re.compile(
    r"\)\s*(const|noexcept|override|final|volatile|&|&&|\s|->\s*[\w:<>*&\s]+)*$")
ATTRIBUTE = re.compile(r"__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\)")
NAME_BEFORE_PAREN = re.compile(r"([~\w:]+|operator\s*\S+)\s*\($")


def blank(text):
    """The text with comments, literals and preprocessor lines turned into
    blanks; line breaks are kept, so line numbers stay."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#" or (line_start and c in " \t" and
                                       text[i:].lstrip(" \t").startswith("#")):
            # A preprocessor line, with its continuations.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append(" \n")
                    i += 2
                    continue
                out.append(" ")
                i += 1
            continue
        line_start = c == "\n"
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out.append(" ")
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == "R" and text.startswith('R"', i) and not (i and (text[i - 1].isalnum() or
                                                                  text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            end = text.find(close, i + m.end())
            end = n if end < 0 else end + len(close)
            out.append('"' + re.sub(r"[^\n]", " ", text[i + 1:end - 1]) + '"')
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    """(name, first line, length) of every function defined in the file."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = blank(f.read())
    found = []
    stack = []  # per open brace: (kind, name, line of the name)
    head_start = 0
    line = 1
    for i, c in enumerate(text):
        if c == "\n":
            line += 1
        elif c == ";":
            head_start = i + 1
        elif c == "{":
            # Attributes are passed over: their parentheses hold no name.
            head = ATTRIBUTE.sub(lambda m: " " * len(m.group()), text[head_start:i])
            kind, name, first = "block", "", line
            if any(k == "function" for k, _, _ in stack):
                kind = "inner"
            elif FUNCTION_TAIL.search(head) and not CONTROL.match(head):
                kind = "function"
                # The name stands before the '(' that opens the parameters:
                # the first '(' of the head at parenthesis depth 0.
                depth, open_at = 0, -1
                for k, ch in enumerate(head):
                    if ch == "(" and depth == 0 and open_at < 0:
                        open_at = k
                    depth += ch == "("
                    depth -= ch == ")"
                m = NAME_BEFORE_PAREN.search(head[:open_at + 1]) if open_at >= 0 else None
                name = m.group(1) if m else "?"
                at = head_start + (m.start(1) if m else len(head) - len(head.lstrip()))
                first = text.count("\n", 0, at) + 1
            elif CONTAINER.search(head) and "=" not in head:
                kind = "container"
            stack.append((kind, name, first))
            head_start = i + 1
        elif c == "}":
            if stack:
                kind, name, first = stack.pop()
                if kind == "function":
                    found.append((name, first, line - first + 1))
            head_start = i + 1
    return found


def source_files(paths):
    for p in paths:
        if os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                for f in sorted(files):
                    if f.endswith(SUFFIXES):
                        yield os.path.join(root, f)
        else:
            yield p


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--over", type=int, default=40, help="report functions longer than this")
    ap.add_argument("--all", action="store_true", help="list every function")
    ap.add_argument("paths", nargs="+")
    args = ap.parse_args()
    rows = []
    for path in source_files(args.paths):
        for name, first, length in functions(path):
            rows.append((length, path, first, name))
    rows.sort(key=lambda r: (-r[0], r[1], r[2]))
    over = [r for r in rows if r[0] > args.over]
    for length, path, first, name in (rows if args.all else over):
        print(f"{path}:{first}: {name}: {length}")
    longest = rows[0] if rows else None
    print(f"{len(rows)} functions, {len(over)} over {args.over} lines"
          + (f"; longest {longest[3]} ({longest[1]}:{longest[2]}), {longest[0]} lines"
             if longest else ""))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
