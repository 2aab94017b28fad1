"""Pieces of the ``ordermgr`` command-line tool (see :mod:`marlovent.cli`)."""
