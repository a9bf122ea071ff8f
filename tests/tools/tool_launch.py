"""The command line the scripts here share, and the launch of the tool's
jobs it describes: --tool, --work and --ranks (and a script's own required
options), --launcher (the launcher and its rank-count flag) and --preflags
(options placed after the rank count)."""

import argparse
import shlex


def parse_tool_arguments(required=("--tool", "--work", "--ranks"), description=None):
    """The parsed command line: every name in `required` is a required
    option (--ranks an integer), then --launcher and --preflags."""
    parser = argparse.ArgumentParser(description=description)
    for name in required:
        parser.add_argument(name, required=True, **({"type": int} if name == "--ranks" else {}))
    parser.add_argument("--launcher", default="mpiexec -n", help="the launcher and its rank-count flag")
    parser.add_argument("--preflags", default="")
    return parser.parse_args()


def launcher(args, ranks=None):
    """The start of a command that runs a program at `ranks` ranks (by
    default the command line's --ranks)."""
    return shlex.split(args.launcher) + [str(args.ranks if ranks is None else ranks)] + shlex.split(args.preflags)
