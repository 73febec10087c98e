#!/usr/bin/env bash
# The R package: R CMD build makes its source tarball (with the statistics'
# sources in it), then R CMD check --no-manual installs it into a library of
# its own, runs its examples and its tests and checks its documentation; any
# error or warning fails. The tests compare with the command of this build
# (ASSOCNET_COMMAND) on the 1000-gene table of the shared data folder beside
# the checkout (ASSOCNET_DATA; those tests are skipped without it). Skipped
# where R is missing, and in the sanitizer build: the package compiles the
# statistics itself with R's flags, so a second check would add nothing.
#
#   r_package_test.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: r_package_test.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v R >/dev/null 2>&1; then
    echo "skipped: R is not installed (scripts/install-deps.sh installs it)"
    exit 77
fi
if grep -q "ASSOCNET_SANITIZE:BOOL=ON" "$build/CMakeCache.txt" 2>/dev/null; then
    echo "skipped: the sanitizer build (the package compiles the statistics with R's flags)"
    exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/r-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

if ! R CMD build --no-build-vignettes "$root/R-package" >build.log 2>&1; then
    cat build.log
    echo "FAIL R CMD build"
    exit 1
fi
tarball=$(ls assocnet_*.tar.gz)
# The statistics' sources are in the tarball as files, not as links.
if ! tar -tzvf "$tarball" | grep -q '^-.* assocnet/src/core/network.cpp$' ||
   ! tar -tzvf "$tarball" | grep -q '^-.* assocnet/src/include/assocnet/assocnet.h$'; then
    echo "FAIL the tarball does not hold the sources of src/core and src/include"
    exit 1
fi

export ASSOCNET_COMMAND=$build/assocnet
[[ -f $root/../shared/data/leukemia-1000.txt ]] && export ASSOCNET_DATA=$root/../shared/data
export MAKEFLAGS=${MAKEFLAGS:--j2}
export _R_CHECK_FORCE_SUGGESTS_=false
R CMD check --no-manual "$tarball" >check.out 2>&1
status=$?
log=assocnet.Rcheck/00check.log
if [[ ! -f $log ]]; then
    cat check.out
    echo "FAIL R CMD check wrote no log (status $status)"
    exit 1
fi
# The notes and what the tests said, for the record.
awk '/\.\.\. (NOTE|WARNING|ERROR)/ { shown = 1; print; next } /^\* / { shown = 0 } shown' "$log"
summary=$(grep '^Status:' "$log")
echo "R CMD check: ${summary:-no status}"
if ((status != 0)) || [[ -z $summary || $summary == *WARNING* || $summary == *ERROR* ]]; then
    [[ -f assocnet.Rcheck/tests/testthat.Rout.fail ]] && tail -60 assocnet.Rcheck/tests/testthat.Rout.fail
    echo "FAIL R CMD check"
    exit 1
fi
grep -E '^\[ FAIL [0-9]+ \| WARN [0-9]+ \| SKIP [0-9]+ \| PASS [0-9]+ \]' assocnet.Rcheck/tests/testthat.Rout
echo "passed"
