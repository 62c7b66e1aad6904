"""``python3 -m sensconv``: see ``sensconv.cli``."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
