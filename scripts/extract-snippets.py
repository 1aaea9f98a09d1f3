#!/usr/bin/env python3
"""Extracts the C++ blocks of Markdown files into sources that the build compiles.

Every ```cpp block is one of:
  ```cpp               a complete program: it has a main(); built and run as a test;
  ```cpp fragment      statements: compiled as the body of a function;
  ```cpp declarations  namespace-scope code (classes, functions): compiled as a source file.
Fragments and declarations see every public header (vemo/core/Core.h and CallStack.h) and
`using namespace vemo;`, and are compiled only. The blocks of the networking documents
(docs/net*.md) see vemo_net's headers too and are listed apart, for builds with vemo_net. A
block in another language is left alone.

  extract-snippets.py OUTPUT_DIR ROOT FILE.md...

writes OUTPUT_DIR/<doc>_<n>.cpp for each block (only when its text changed, so that an edit of
one block rebuilds one source) and OUTPUT_DIR/snippets.cmake, which lists them for CMake:
VEMO_SNIPPET_PROGRAMS and VEMO_SNIPPET_FRAGMENTS, and VEMO_SNIPPET_NET_PROGRAMS and
VEMO_SNIPPET_NET_FRAGMENTS for the networking documents. Exits with 1, naming the file and line, for a
complete program without main, an unknown marker or an unterminated block.
"""
import os
import re
import sys

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([^`\s]*)\s*(.*?)\s*$")
KINDS = {"": "program", "fragment": "fragment", "declarations": "declarations"}
PRELUDE = ('#include "vemo/core/CallStack.h"\n#include "vemo/core/Core.h"\n\n'
           "using namespace vemo;\n\n")
NET_PRELUDE = ('#include "vemo/core/CallStack.h"\n#include "vemo/core/Core.h"\n'
               '#include "vemo/net/BoxEndpoint.h"\n#include "vemo/net/Net.h"\n\n'
               "using namespace vemo;\n\n")


def blocks(path):
    """(first line number, kind, text) of each C++ block of the file."""
    with open(path, encoding="utf-8") as md:
        lines = md.read().split("\n")
    found = []
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        indent, fence, language, info = match.groups()
        start = i + 1
        end = start
        while end < len(lines):
            close = FENCE.match(lines[end])
            if close and close.group(2).startswith(fence[0] * len(fence)) and not close.group(3):
                break
            end += 1
        if end == len(lines):
            sys.exit(f"{path}:{i + 1}: the block is not closed")
        if language in ("cpp", "c++"):
            if info not in KINDS:
                sys.exit(f"{path}:{i + 1}: unknown marker '{info}' (none, 'fragment' or "
                         "'declarations')")
            text = "\n".join(line[len(indent):] if line.startswith(indent) else line
                             for line in lines[start:end])
            found.append((start, KINDS[info], text))
        i = end + 1
    return found


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as old:
            if old.read() == text:
                return
    with open(path, "w", encoding="utf-8") as new:
        new.write(text)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out, root = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    lists = {"": ([], []), "NET_": ([], [])}
    for path in sys.argv[3:]:
        relative = os.path.relpath(path, root).replace(os.sep, "/")
        net = relative.startswith("docs/net")
        programs, fragments = lists["NET_" if net else ""]
        prelude = NET_PRELUDE if net else PRELUDE
        stem = re.sub(r"[^A-Za-z0-9]+", "_", os.path.splitext(relative)[0]).strip("_")
        for number, (line, kind, text) in enumerate(blocks(path), 1):
            name = f"{stem}_{number}"
            origin = f'#line {line + 1} "{relative}"\n'
            if kind == "program":
                if not re.search(r"\bint\s+main\s*\(", text):
                    sys.exit(f"{path}:{line}: a ```cpp block without main(): mark it "
                             "'fragment' or 'declarations', or make it a whole program")
                source = f"// {relative}:{line}\n{origin}{text}\n"
                programs.append(name)
            elif kind == "fragment":
                source = (f"// {relative}:{line}\n{prelude}"
                          f"void snippet_{name}();\nvoid snippet_{name}() {{\n"
                          f"{origin}{text}\n}}\n")
                fragments.append(name)
            else:
                source = f"// {relative}:{line}\n{prelude}{origin}{text}\n"
                fragments.append(name)
            write_if_changed(os.path.join(out, name + ".cpp"), source)
    listing = "".join(f"set(VEMO_SNIPPET_{prefix}PROGRAMS {' '.join(programs)})\n"
                      f"set(VEMO_SNIPPET_{prefix}FRAGMENTS {' '.join(fragments)})\n"
                      for prefix, (programs, fragments) in lists.items())
    write_if_changed(os.path.join(out, "snippets.cmake"), listing)


if __name__ == "__main__":
    main()
