"""`python -m ostik`: the command line (see ostik.cli; `ostik hook` see ostik.hooks)."""

from ostik._launcher import main

raise SystemExit(main())
