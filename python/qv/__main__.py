"""`python -m qv`: the qv command line."""

from qv.cli import main

raise SystemExit(main())
