#!/bin/sh
# The whole test suite on a Debian 12 machine: installs the Debian packages
# the tests need when they are missing (as root), then configures, builds and
# runs every test with CTest. Extra arguments go to ctest (e.g. -R Golden).
set -eu
cd "$(dirname "$0")"

# Compiler and build tools; GoogleTest; the Python package's tests on
# Debian's own interpreter (/usr/bin/python3); groff for the man-page checks.
packages="g++ cmake make libgtest-dev python3-dev pybind11-dev python3-numpy python3-pytest python3-sklearn
python3-pandas groff-base"
missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: missing Debian packages:$missing; run as root, or: sudo apt-get install$missing" >&2
    exit 1
  fi
  echo "test.sh: installing$missing"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
fi

cmake -S . -B build -DTAVRI_PYTHON=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 "$@"
