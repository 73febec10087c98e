#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root,
# or through sudo). The compiler, CMake, GoogleTest and Google Benchmark come
# with the machine; CLI11 reads assocnet's options, zlib its gzip tables,
# HDF5 its single-cell files (h5ad, 10x h5, loom) and libxml2 writes its
# GraphML; Open MPI lets assocnet spread a sweep over the processes of an MPI
# job (the build works without it); Python with scipy, networkx and igraph
# checks the files in the tests, pandas and R read the tab-separated files
# back there, h5py and AnnData write the single-cell files there; pybind11
# and the Python headers build the Python module (the build works without
# them), which pandas, scipy, AnnData and tqdm feed and pytest tests; clang
# with its runtime libraries builds the fuzz targets; install-web.sh adds
# what the HTML report needs; Rcpp builds the R package, and testthat,
# igraph, Biobase and SummarizedExperiment run its tests. Does nothing when
# everything is already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(g++ cmake make pkg-config libgtest-dev libbenchmark-dev libcli11-dev zlib1g-dev
          libxml2-dev libhdf5-dev libopenmpi-dev openmpi-bin python3 python3-scipy python3-networkx
          python3-igraph python3-h5py python3-pandas r-base-core python3-dev python3-pybind11
          python3-anndata python3-tqdm python3-pytest clang libclang-rt-14-dev
          r-base-dev r-cran-rcpp r-cran-testthat r-cran-igraph r-bioc-summarizedexperiment
          r-bioc-biobase)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The HTML report's scripts from npm, and Chromium for its browser test.
bash "$(dirname "$0")/install-web.sh"
