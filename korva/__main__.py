"""``python -m korva``: the demo, or ``fit`` for a CSV file (see korva.cli)."""

from korva.cli import main

raise SystemExit(main())
