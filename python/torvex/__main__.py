"""``python -m torvex``: the ``torvex`` command (see ``torvex._cli``)."""

import sys

from ._cli import main

sys.exit(main())
