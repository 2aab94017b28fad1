"""marlovent: cost-basis tracking of trading portfolios.

The work is done by the native module :mod:`marlovent.ordermgr`.
"""
