"""python -m tavro.libs.ciphers: the tavro-token command."""

import sys

from tavro.libs.ciphers.cli import main

sys.exit(main())
