import sys

from kelvo.cli import main

sys.exit(main())
