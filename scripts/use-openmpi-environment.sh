# Sourced by the scripts that run programs under Open MPI's launcher: exports
# every VAR=value line of scripts/openmpi-environment, as the tests have them.
# Needs $src, the source tree.
while IFS= read -r setting; do
  case "$setting" in [A-Za-z_]*=*) export "$setting" ;; esac
done <"$src/scripts/openmpi-environment"
