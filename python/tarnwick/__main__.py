"""``python -m tarnwick``: the same command line as the ``tarnwick`` script."""

import sys

from tarnwick.cli import main

sys.exit(main())
