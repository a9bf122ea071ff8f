#!/bin/sh
# Runs a command with a small, private file system mounted on a directory:
#
#   with_small_fs.sh <size> <directory> <command> [<argument>...]
#
# The tmpfs of <size> (for example 64k) is mounted in a mount namespace of
# the command's own (unshare -m), so it vanishes with the command and nothing
# else sees it. Needs the right to mount (root); exits 77 when it cannot.
size="$1"
dir="$2"
shift 2
mkdir -p "$dir" || exit 77
unshare -m true 2>/dev/null || { echo "with_small_fs: skipped: cannot make a mount namespace here"; exit 77; }
exec unshare -m /bin/sh -c '
  mount -t tmpfs -o "size=$1" tmpfs "$2" 2>/dev/null || { echo "with_small_fs: skipped: cannot mount a tmpfs here"; exit 77; }
  shift 2
  exec "$@"' with_small_fs "$size" "$dir" "$@"
