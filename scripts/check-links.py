#!/usr/bin/env python3
"""Finds broken relative links in README.md and docs/*.md.

  check-links.py [ROOT]

Checks every Markdown link and image whose target is not a URL: the file (or directory) must
exist, and a #anchor must name a heading of the target document (anchors as GitHub makes them:
lower case, punctuation dropped, blanks as '-', '-1', '-2' ... for repeated headings). Links in
code blocks and code spans are not links. Prints each broken link with its file and line, and
exits with 1 when there is one.
"""
import glob
import os
import re
import sys

LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
FENCE = re.compile(r"^\s{0,3}(`{3,}|~{3,})")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(path):
    """(line number, text) of the lines outside code blocks, code spans blanked."""
    with open(path, encoding="utf-8") as md:
        lines = md.read().split("\n")
    fence = None
    for number, line in enumerate(lines, 1):
        match = FENCE.match(line)
        if fence:
            if match and match.group(1)[0] == fence[0] and len(match.group(1)) >= len(fence):
                fence = None
            continue
        if match:
            fence = match.group(1)
            continue
        yield number, re.sub(r"(`+)(.+?)\1", lambda m: " " * len(m.group(0)), line)


def anchor(heading, seen):
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link's text only
    text = text.replace("`", "").strip().lower()
    text = re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
    count = seen.get(text, 0)
    seen[text] = count + 1
    return text if count == 0 else f"{text}-{count}"


anchors_of = {}


def anchors(path):
    if path not in anchors_of:
        seen, found = {}, set()
        with open(path, encoding="utf-8") as md:
            lines = md.read().split("\n")
        fence = None
        for line in lines:
            match = FENCE.match(line)
            if fence:
                if match and match.group(1)[0] == fence[0]:
                    fence = None
                continue
            if match:
                fence = match.group(1)
                continue
            heading = HEADING.match(line)
            if heading:
                found.add(anchor(heading.group(2), seen))
        anchors_of[path] = found
    return anchors_of[path]


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    documents = [os.path.join(root, "README.md")] + sorted(
        glob.glob(os.path.join(root, "docs", "*.md")))
    broken = checked = 0
    for document in documents:
        for number, line in prose_lines(document):
            for match in LINK.finditer(line):
                target = match.group(1)
                if SCHEME.match(target):
                    continue
                checked += 1
                path, _, fragment = target.partition("#")
                resolved = os.path.normpath(os.path.join(os.path.dirname(document), path)) \
                    if path else document
                where = f"{os.path.relpath(document, root)}:{number}"
                if not os.path.exists(resolved):
                    print(f"{where}: {target}: no such file")
                    broken += 1
                elif fragment and (not resolved.endswith(".md") or
                                   fragment not in anchors(resolved)):
                    print(f"{where}: {target}: no heading with the anchor #{fragment}")
                    broken += 1
    print(f"{checked} links checked in {len(documents)} documents, {broken} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
