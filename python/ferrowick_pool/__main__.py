import sys

from ferrowick_pool.cli import main

sys.exit(main())
