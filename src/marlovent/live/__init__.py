"""Live fills from a broker into a :class:`marlovent.ledger.Ledger`.

:mod:`marlovent.live.ib` is the adapter for Interactive Brokers through
``ib_async`` (``pip install 'marlovent[ib]'``): it records each execution as a
fill the moment it arrives, joins the commission reports that follow, catches
up after a reconnect, and reconciles the ledger with the broker's positions.
"""
