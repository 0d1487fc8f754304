"""python -m quillmere: the command line."""
import sys

from quillmere.cli import main

sys.exit(main())
