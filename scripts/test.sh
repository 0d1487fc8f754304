#!/usr/bin/env bash
# Installs everything the test suite needs on a fresh Debian machine, builds
# the package, then runs the C++ kernel tests (ctest) and the Python tests
# (pytest). Exits non-zero on any failure.
#
#   bash scripts/test.sh            # from the repository root
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup_env.sh

echo "== C++ kernel tests (GoogleTest) =="
cmake -S . -B build/cpp-tests -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests -j "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure

echo "== Python tests (pytest) =="
"$VENV/bin/pip" install -q ".[test,plot]"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python
