"""`python -m ostik`: the command line (see ostik.cli)."""

from ostik.cli import main

raise SystemExit(main())
