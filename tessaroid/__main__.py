"""`python -m tessaroid convert ...`"""

import sys

from .cli import main

sys.exit(main())
