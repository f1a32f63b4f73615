"""Loads the bundled example policy and summarises what it holds."""

from collections import Counter
from pathlib import Path

import ostik

HERE = Path(__file__).parent


def main() -> None:
    path = HERE / "policy.yaml"
    records = ostik.policy_records(str(path))
    ostik.Policy.from_file(str(path))
    kinds = Counter(rule["type"] for rule in records["sequences"])
    print(f"policy {records['name']!r} version {records['version']} from {path.name}")
    print(f"  allow: {', '.join(records['tools']['allow'] or [])}")
    print(f"  deny:  {', '.join(records['tools']['deny'] or [])}")
    print(f"  aliases: {', '.join(f'{k}={v}' for k, v in sorted(records['aliases'].items()))}")
    print(f"  rules: {sum(kinds.values())} ({', '.join(f'{k} {n}' for k, n in kinds.items())})")


if __name__ == "__main__":
    main()
