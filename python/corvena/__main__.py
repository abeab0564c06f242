"""``python -m corvena``: the same as the ``corvena`` command."""

import sys

from corvena.cli import main

if __name__ == "__main__":
    sys.exit(main())
