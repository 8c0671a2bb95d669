#!/bin/sh
# `make demo`; see run_demo.py.
exec python3 "$(dirname "$0")/run_demo.py" "$@"
