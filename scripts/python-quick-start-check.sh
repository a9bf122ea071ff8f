# Sourced by check-install.sh and check-package.sh: runs the README's Python
# quick start with the module that /usr/bin/python3 finds (PYTHONPATH as the
# caller sets it) and checks that it printed its result. Needs $src, $work,
# $mpiexec, $ranks and the caller's fail().
#   check_python_quick_start "<which module, for the failure message>"
check_python_quick_start() {
  "$mpiexec" -n "$ranks" /usr/bin/python3 "$src/examples/python/example.py" >"$work/quick-start.txt" \
    || { cat "$work/quick-start.txt"; fail "the Python quick start with $1"; }
  grep -q "values on $ranks ranks" "$work/quick-start.txt" \
    || { cat "$work/quick-start.txt"; fail "the quick start printed no result"; }
}
