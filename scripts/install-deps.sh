#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root).
# The compiler, CMake, GoogleTest and Google Benchmark come with the machine;
# python3-igraph is the optional Pajek reader of the round-trip test, and
# clang with its runtime libraries builds the fuzz target.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(g++ cmake make libgtest-dev libbenchmark-dev python3 python3-igraph clang libclang-rt-14-dev)
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
