import sys

from ferrowick_shell.shell import main

sys.exit(main())
