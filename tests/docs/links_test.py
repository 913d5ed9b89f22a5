#!/usr/bin/env python3
"""Every relative link in README.md and docs/ leads somewhere: the file or
folder exists, and a #anchor names a heading of the Markdown file it points
into, anchored as GitHub anchors them.
Usage: links_test.py SOURCE_DIR"""
import re
import sys
from pathlib import Path

root = Path(sys.argv[1]).resolve()
files = [root / "README.md"] + sorted((root / "docs").rglob("*.md"))

LINK = re.compile(r"(?<!!)\[((?:[^\[\]]|\[[^\]]*\])*)\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
IMAGE = re.compile(r"!\[[^\]]*\]\(\s*<?([^)\s>]+)>?\s*\)")


def prose(text):
    """The text without fenced or indented code blocks and code spans."""
    out, fenced = [], False
    for line in text.split("\n"):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            out.append("")
            continue
        if fenced or line.startswith("    ") or line.startswith("\t"):
            out.append("")
            continue
        out.append(re.sub(r"(`+)(.+?)\1", "", line))
    return "\n".join(out)


def anchors(path):
    """GitHub's anchors for the headings of a Markdown file."""
    seen, result, fenced = {}, set(), False
    for line in path.read_text(encoding="utf-8").split("\n"):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        m = None if fenced else re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", m.group(1))  # a link's text
        text = re.sub(r"<[^>]+>", "", text)
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        result.add(slug if n == 0 else f"{slug}-{n}")
    return result


cache = {}
failures = []
checked = 0
for f in files:
    text = prose(f.read_text(encoding="utf-8"))
    targets = [m.group(2) for m in LINK.finditer(text)] + [m.group(1) for m in IMAGE.finditer(text)]
    for target in targets:
        if re.match(r"^[a-z][a-z0-9+.-]*:", target):  # https:, mailto: ...
            continue
        checked += 1
        path_part, _, anchor = target.partition("#")
        dest = (f.parent / path_part).resolve() if path_part else f
        where = f"{f.relative_to(root)}: ({target})"
        if not dest.exists():
            failures.append(f"{where}: no {dest.relative_to(root) if dest.is_relative_to(root) else dest}")
            continue
        if anchor:
            if dest.suffix != ".md":
                failures.append(f"{where}: an anchor into a file that is not Markdown")
                continue
            if dest not in cache:
                cache[dest] = anchors(dest)
            if anchor not in cache[dest]:
                failures.append(f"{where}: no heading #{anchor} in {dest.relative_to(root)}")

for line in failures:
    print("FAIL:", line, file=sys.stderr)
print(f"links: {checked} relative links in {len(files)} files, {len(failures)} broken")
sys.exit(1 if failures else 0)
