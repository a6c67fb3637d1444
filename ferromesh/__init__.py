"""Sans-IO BACnet/IP client stack.

Every public name lives in the extension module ``ferromesh.ferromesh`` and is
re-exported here; ``__all__`` is the extension's own list, in its order.
"""

from .ferromesh import *  # noqa: F403
from .ferromesh import __all__  # noqa: F401
