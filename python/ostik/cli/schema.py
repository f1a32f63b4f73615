"""`ostik schema`: print the JSON Schema of the policy language, for editors and validators."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING

from ostik.cli.common import EXIT_OK
from ostik.schema import schema_text

if TYPE_CHECKING:
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    schema = commands.add_parser("schema", help="print the JSON Schema of the policy language",
                                 description="Print the JSON Schema (draft 2020-12) of the policy language, "
                                             "with a description of every key, for editors' completion and "
                                             "checking: ostik schema > policy.schema.json")
    schema.set_defaults(run=run_schema)


def run_schema(args: argparse.Namespace) -> int:
    sys.stdout.write(schema_text())
    return EXIT_OK
