"""`ostik check POLICY`: load a policy, summarise it, warn about likely mistakes."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ostik._inspect import policy_records
from ostik.cli.common import EXIT_FAILED, EXIT_OK, UnusableInput, load_argument_rule_error, load_ignored_keys, warn
from ostik.reports.escaping import printable
from ostik.cli.policy_lint import ignored_key_warning, misspelling_hint, policy_warnings, summary

if TYPE_CHECKING:
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    check = commands.add_parser("check", help="load a policy, summarise it and warn about likely mistakes",
                                description="Load POLICY and print a one-line summary. Warnings about likely "
                                            "mistakes go to stderr.")
    check.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    check.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    check.set_defaults(run=run_check)


def run_check(args: argparse.Namespace) -> int:
    try:
        records = policy_records(args.policy)
    except (FileNotFoundError, ValueError) as err:
        raise UnusableInput(f"{args.policy}: {err}{misspelling_hint(str(err))}") from None
    ignored = load_ignored_keys(args.policy)
    rule_error = load_argument_rule_error(args.policy)
    if rule_error is not None:
        raise UnusableInput(f"{args.policy}: {rule_error}{misspelling_hint(rule_error)}")
    print(f"{printable(args.policy)}: {summary(records)}")
    warnings = policy_warnings(records)
    for warning in warnings:
        warn(f"{args.policy}: warning: {warning}")
    # These have a place in the file: named the way compilers and editors expect.
    for key in ignored:
        warn(f"{args.policy}:{key['line']}:{key['column']}: warning: {ignored_key_warning(key)}")
    return EXIT_FAILED if (warnings or ignored) and args.strict else EXIT_OK
