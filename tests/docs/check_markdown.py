#!/usr/bin/env python3
"""check_markdown.py SOURCE_DIR [VERSION]

Every relative link in every Markdown file of the repository must reach a
file or folder that exists, and a link with a #fragment must name a heading
or an <a id> anchor of the Markdown file it points to, as GitHub renders
them: a reader who follows a link lands where it says. The README stays an
operator's page of at most 250 lines; the rest belongs in docs/. With
VERSION, every package and zip file name the documents and the Ansible files
spell out (morvix-fwupdate_1.2.3_amd64.deb,
morvix-fwupdate-1.2.3-windows-x64.zip) must carry that version, so a release
cannot leave its install commands behind.
"""
import fnmatch
import os
import re
import subprocess
import sys

FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
ANCHOR = re.compile(r"""<a\s+(?:id|name)=["']([^"']+)["']""")
# [text](target) and ![alt](target); the target ends at the first space or ')'.
INLINE_LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
PACKAGE = re.compile(r"morvix-fwupdate(?:-cli)?_([0-9][^_\s]*)_(?:amd64|arm64)\.deb"
                     r"|morvix-fwupdate-([0-9][^-\s]*)-windows-x(?:64|86)\.zip")


def tracked_files(root, patterns):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--", *patterns],
                             check=True, capture_output=True).stdout
        return sorted(f for f in out.decode().split("\0") if f)
    except (OSError, subprocess.CalledProcessError):
        # A source tree that is no git checkout: every file but the build trees'.
        found = []
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = [d for d in dirnames if d not in (".git", "build")]
            for name in filenames:
                rel = os.path.relpath(os.path.join(dirpath, name), root)
                if any(fnmatch.fnmatch(rel, p) for p in patterns):
                    found.append(rel)
        return sorted(found)


def prose_lines(text):
    """The lines outside fenced code blocks, with their numbers."""
    inside = False
    for number, line in enumerate(text.split("\n"), 1):
        if FENCE.match(line):
            inside = not inside
            continue
        if not inside:
            yield number, line


def slug(heading):
    """GitHub's anchor for a heading's text."""
    text = CODE_SPAN.sub(lambda m: m.group(2), heading)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text).lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors_of(path):
    anchors, seen = set(), {}
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for _, line in prose_lines(text):
        anchors.update(ANCHOR.findall(line))
        match = HEADING.match(line)
        if match:
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            anchors.add(base if count == 0 else f"{base}-{count}")
    return anchors


def links_of(text):
    for number, line in prose_lines(text):
        line = CODE_SPAN.sub("", line)
        for target in INLINE_LINK.findall(line):
            yield number, target
        match = REFERENCE.match(line)
        if match:
            yield number, match.group(1)


def check_links(root):
    problems, cache = [], {}
    documents = tracked_files(root, ["*.md"])
    for doc in documents:
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            text = f.read()
        for number, target in links_of(text):
            if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                continue  # a web address or mail: not ours to check offline
            path, _, fragment = target.partition("#")
            where = f"{doc}:{number}: {target}"
            resolved = os.path.normpath(os.path.join(root, os.path.dirname(doc), path)) if path \
                else os.path.join(root, doc)
            if os.path.relpath(resolved, root).split(os.sep)[0] == "..":
                problems.append(f"{where}: leaves the repository")
                continue
            if not os.path.exists(resolved):
                problems.append(f"{where}: no such file")
                continue
            if fragment:
                if not resolved.endswith(".md"):
                    problems.append(f"{where}: an anchor into a file that is no Markdown")
                    continue
                if resolved not in cache:
                    cache[resolved] = anchors_of(resolved)
                if fragment not in cache[resolved]:
                    problems.append(f"{where}: no heading or anchor '{fragment}' there")
    return documents, problems


README_LINES = 250


def check_readme(root):
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        lines = f.read().count("\n")
    if lines > README_LINES:
        return [f"README.md: {lines} lines, more than {README_LINES}: move the detail into docs/"]
    return []


def check_versions(root, version):
    problems = []
    files = tracked_files(root, ["*.md", "deploy/*.yml", "deploy/*.yaml"])
    for name in files:
        with open(os.path.join(root, name), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                for deb, zip_ in PACKAGE.findall(line):
                    found = deb or zip_
                    if found != version:
                        problems.append(f"{name}:{number}: package version {found}, the project is {version}")
    return problems


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    root = os.path.abspath(sys.argv[1])
    documents, problems = check_links(root)
    problems += check_readme(root)
    if len(sys.argv) == 3:
        problems += check_versions(root, sys.argv[2])
    for problem in problems:
        print(problem)
    print(f"{len(documents)} Markdown files, {len(problems)} problems")
    return 1 if problems or not documents else 0


if __name__ == "__main__":
    sys.exit(main())
