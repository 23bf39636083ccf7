#!/usr/bin/env python3
"""Checks the relative links of the project's pages: README.md and docs/*.md.

doc_links.py SOURCE_DIR

Every link that is not a URL must name a file that exists, and a #fragment a
heading of that page as GitHub makes its anchors. Exit status 0 when all
resolve, 1 when one does not (each is printed).
"""
import glob
import os
import re
import sys


def slug(heading):
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def prose(path):
    """The page's lines outside fenced code blocks."""
    lines, code = [], False
    with open(path, encoding="utf-8") as page:
        for line in page:
            if line.startswith("```"):
                code = not code
            elif not code:
                lines.append(line)
    return lines


def anchors(path):
    return {slug(line.lstrip("#")) for line in prose(path) if re.match(r"#{1,6} ", line)}


def main():
    root = sys.argv[1]
    pages = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    checked, broken = 0, 0
    for page in pages:
        for target in re.findall(r"\]\(([^)\s]+)\)", "".join(prose(page))):
            if re.match(r"[a-z]+:", target):
                continue
            checked += 1
            name, _, fragment = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), name)) if name else page
            if not os.path.exists(path):
                print(f"{os.path.relpath(page, root)}: ({target}): no such file")
                broken += 1
            elif fragment and (not path.endswith(".md") or fragment not in anchors(path)):
                print(f"{os.path.relpath(page, root)}: ({target}): no heading with that anchor")
                broken += 1
    print(f"{checked} relative links in {len(pages)} pages, {broken} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
