"""``python3 -m flashbridge``: the production-line command."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
