"""The JSON Schema (draft 2020-12) of the whole policy language, for editors and validators.

The schema is the data file beside this module; `ostik schema` prints it. It
states what each key is and which values the loader takes, so that a document
it accepts loads and passes `ostik check --strict`, except where a schema
cannot follow the loader (see docs/editors.md).
"""

from __future__ import annotations

import json
from importlib import resources
from typing import Any

__all__ = ["SCHEMA_FILE", "policy_schema", "schema_text"]

SCHEMA_FILE = "policy.schema.json"


def schema_text() -> str:
    """The schema as the JSON text that is shipped."""
    return (resources.files("ostik.schema") / SCHEMA_FILE).read_text(encoding="utf-8")


def policy_schema() -> dict[str, Any]:
    """The schema as Python data."""
    schema: dict[str, Any] = json.loads(schema_text())
    return schema
