"""An mpi4py on another MPI implementation, or on another build of the
module's own, is refused when the module is imported: an ImportError that
names both, before the module uses any communicator. Each case runs in a
fresh interpreter with a stand-in mpi4py (foreign_mpi4py/) first on the path."""
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
CASES = [
    ({"FAKE_MPI4PY_VENDOR": "MPICH"}, "mpi4py runs on MPICH"),
    ({"FAKE_MPI4PY_VENDOR": "Open MPI", "FAKE_MPI4PY_VERSION": "Open MPI v9.9.9, package: elsewhere"},
     "load different MPI libraries"),
]
PROGRAM = """
try:
    import virdastatistics
except ImportError as e:
    print("refused:", e)
else:
    print("imported")
"""

failures = 0
for settings, expected in CASES:
    env = dict(os.environ, **settings)
    env["PYTHONPATH"] = os.path.join(here, "foreign_mpi4py") + os.pathsep + env.get("PYTHONPATH", "")
    run = subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True, text=True, timeout=50)
    output = run.stdout + run.stderr
    print(output.strip())
    if run.returncode != 0 or "refused:" not in output or expected not in output:
        print(f"FAILED: expected a refusal saying '{expected}'")
        failures += 1
sys.exit(1 if failures else 0)
