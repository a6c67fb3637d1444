"""``python -m ferromesh``: see ``python -m ferromesh --help``."""

import sys

from .cli import main

sys.exit(main())
