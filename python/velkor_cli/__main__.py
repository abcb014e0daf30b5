import sys

from velkor_cli import main

sys.exit(main())
