"""What the framework integrations share: optional imports and the extras that bring their frameworks."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

FRAMEWORKS = ["langchain", "langchain_core", "langgraph", "agents", "openai", "opentelemetry", "dask", "distributed",
              "claude_agent_sdk", "google", "pydantic_ai", "mcp"]

# (module, the top-level package it needs, the extra that installs it)
INTEGRATIONS = [
    ("ostik.integrations.langchain", "langchain", "langchain"),
    ("ostik.integrations.openai_agents", "agents", "openai-agents"),
    ("ostik.integrations.otel", "opentelemetry", "otel"),
    ("ostik.integrations.claude_agent_sdk", "claude_agent_sdk", "claude-agent-sdk"),
    ("ostik.integrations.adk", "google.adk", "adk"),
    ("ostik.integrations.pydantic_ai", "pydantic_ai", "pydantic-ai"),
    ("ostik.dask", "dask", "dask"),
]


def python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_importing_ostik_imports_no_framework():
    result = python("import sys, ostik, ostik.integrations, ostik.formats, ostik.cli\n"
                    f"print(sorted(m for m in {FRAMEWORKS!r} if m in sys.modules))")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[]\n"


@pytest.mark.parametrize(("module", "framework", "extra"), INTEGRATIONS)
def test_an_integration_without_its_framework_names_the_extra(module, framework, extra):
    # A None entry in sys.modules makes the framework's import fail, as when it is not installed.
    result = python(f"import sys\nsys.modules[{framework!r}] = None\n"
                    f"try:\n    import {module}\n"
                    "except ImportError as error:\n    print(error)\n    print(type(error.__cause__).__name__)\n")
    assert result.returncode == 0, result.stderr
    message, cause = result.stdout.splitlines()
    assert message.startswith(f"{module} needs ") and message.endswith(f": pip install 'ostik[{extra}]'")
    assert cause in ("ImportError", "ModuleNotFoundError")


def test_every_extra_is_installed_for_the_tests():
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    # One extra per integration, the MCP proxy's SDK, and the documentation site's tools, which no module imports.
    assert set(extras) == {extra for *_, extra in INTEGRATIONS} | {"mcp", "docs"}
    assert [re.match(r"[\w.-]+", requirement).group(0) for requirement in extras["docs"]] == ["mkdocs",
                                                                                           "mkdocs-material"]
    installed = {re.match(r"[\w.-]+", line).group(0)
                 for line in (ROOT / "tests" / "requirements.txt").read_text().splitlines()
                 if line and not line.startswith("#")}
    for requirements in extras.values():
        for requirement in requirements:
            assert re.match(r"[\w.-]+", requirement).group(0) in installed


@pytest.mark.parametrize("expression, expected", [
    ("ostik.formats.read([{'tool': 'ls'}])", "[[{'tool': 'ls'}]]"),
    ("ostik.trace_files.read_trace_file is ostik.formats.trace_files.read_trace_file", "True"),
    ("'ostik.formats' in sys.modules", "False"),
])
def test_sub_packages_resolve_on_attribute_access(expression, expected):
    result = python(f"import sys, ostik\nprint({expression})")
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected + "\n"


def test_an_unknown_attribute_of_ostik_is_still_an_attribute_error():
    result = python("import ostik\ntry:\n    ostik.nothing_here\nexcept AttributeError as error:\n    print(error)")
    assert result.stdout == "module 'ostik' has no attribute 'nothing_here'\n"
