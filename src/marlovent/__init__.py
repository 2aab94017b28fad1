"""marlovent: cost-basis tracking of trading portfolios.

The work is done by the native module :mod:`marlovent.ordermgr`; importing the
package also gives its classes the dataclass metadata and call signatures that
Python tooling reads (see :mod:`marlovent._interop`).  The command-line tool is
:mod:`marlovent.cli` (``ordermgr`` or ``python -m marlovent``).
"""

from . import ordermgr as _ordermgr
from ._interop import install as _install

_install(_ordermgr)
del _install
