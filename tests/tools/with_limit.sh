#!/bin/sh
# Runs a command under one resource limit:
#
#   with_limit.sh <ulimit option> <value> <command> [<argument>...]
#
# SIGXFSZ is ignored (and stays ignored in the command), so that a file size
# limit makes a write fail with EFBIG instead of killing the process.
trap '' XFSZ
ulimit "$1" "$2" || exit 125
shift 2
exec "$@"
