#!/usr/bin/env bash
# Rewrites this suite's lists: see numpy_suite/regenerate.sh.
# Usage: tests/python/scipy_suite/regenerate.sh <Open MPI build directory>
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../numpy_suite/regenerate.sh" "${1:?usage: regenerate.sh <Open MPI build directory>}" "$here"
