#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer in a
# separate virtual environment and runs the Python tests against it once.
# The interpreter itself is not instrumented: the ASan runtime is preloaded,
# leak detection is off (the interpreter keeps objects until exit), and any
# error report aborts the run.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV_ASAN:-.venv-asan}
. scripts/setup_env.sh
echo "== sanitizer build =="
"$VENV/bin/pip" install -q scikit-build-core nanobind
"$VENV/bin/pip" install -q --no-build-isolation -Cbuild-dir=build/asan \
    -Ccmake.define.QUILLMERE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false ".[test]"
echo "== Python tests under ASan/UBSan =="
libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
(LD_PRELOAD="$libasan:$libubsan" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_odr_violation=0:alloc_dealloc_mismatch=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider -x tests/python)
