"""``python3 -m sensconv``: see ``sensconv.cli``."""

import sys

from .cli import main

sys.exit(main())
