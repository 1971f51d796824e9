import sys

from pravel.cli import main

sys.exit(main())
