"""``python -m velmora``: the ``velmora`` command."""

import sys

from velmora.cli import main

sys.exit(main())
