#!/usr/bin/env bash
# Builds every libFuzzer target in fuzz/ with clang and runs each for the
# given number of seconds (default 30). A crash or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shopt -s nullglob
targets=(fuzz/*.cpp)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets"
    exit 0
fi
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DQUILLMERE_BUILD_FUZZERS=ON -DQUILLMERE_BUILD_PYTHON=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j "$(nproc)"
for src in "${targets[@]}"; do
    name=$(basename "$src" .cpp)
    corpus="build/fuzz/corpus-$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    echo "== fuzz $name for ${seconds}s =="
    "build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=0 "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
done

# The project-file checks live in the bindings, which need the interpreter:
# fuzzed through the package installed in .venv (scripts/test.sh makes it).
if [ -x .venv/bin/python ]; then
    .venv/bin/pip install -q atheris
    corpus=build/fuzz/corpus-fuzz_project
    mkdir -p "$corpus"
    echo "== fuzz fuzz_project for ${seconds}s =="
    .venv/bin/python fuzz/fuzz_project.py -max_total_time="$seconds" -print_final_stats=0 \
        "$corpus" fuzz/seeds/fuzz_project 2>&1 | tail -n 3
else
    echo "no .venv: fuzz_project skipped (run scripts/test.sh first)"
fi
