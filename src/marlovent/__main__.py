"""``python -m marlovent``: the ``ordermgr`` command-line tool."""

from marlovent.cli import main

raise SystemExit(main())
