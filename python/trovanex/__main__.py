"""python -m trovanex ARGS: the program itself, with these arguments."""

import sys

from trovanex import main

sys.exit(main())
