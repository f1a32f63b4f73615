"""The text of the README and of the documentation site's pages, for the tests that run what they show."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"

FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```$", flags=re.MULTILINE | re.DOTALL)


def page(name):
    """The Markdown of README.md or of a page of docs/ (named as in docs/, e.g. "policy.md")."""
    path = ROOT / name if name == "README.md" else DOCS / name
    return path.read_text()


def pages():
    """(name, text) of the README and of every page of docs/."""
    return [("README.md", page("README.md"))] + [(path.name, path.read_text()) for path in sorted(DOCS.glob("*.md"))]


def all_text():
    return "\n".join(text for _, text in pages())


def code_blocks(text, language=None):
    """(language, body) of every fenced code block, its fence's indentation removed; only those of `language` if given."""
    blocks = [(lang, "".join(line[len(indent):] for line in body.splitlines(keepends=True)))
              for indent, lang, body in FENCE.findall(text)]
    return [(lang, body) for lang, body in blocks if language is None or lang == language]


def code(text, language):
    """The bodies of the fenced code blocks of `language`."""
    return [body for _, body in code_blocks(text, language)]


def section(text, heading):
    """From the heading titled `heading` (at any level) to the next heading of the same or a higher level.

    Lines inside fenced code blocks are never headings (a `# comment` there is code)."""
    lines = text.splitlines(keepends=True)
    start = level = None
    fenced = False
    for i, line in enumerate(lines):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        found = None if fenced else re.match(r"^(#+) (.*?)\s*$", line)
        if not found:
            continue
        if start is None and found.group(2) == heading:
            start, level = i, len(found.group(1))
        elif start is not None and len(found.group(1)) <= level:
            return "".join(lines[start:i])
    if start is None:
        raise LookupError(f"no heading {heading!r}")
    return "".join(lines[start:])
