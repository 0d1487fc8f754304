# Sourced by the scripts in this folder: installs the Debian packages the
# build and the tests need (when missing and when running as root) and makes
# a virtual environment in $VENV (default .venv) with CPython 3.12 when the
# machine has it, else python3.
need=()
# chromium: the map's HTML view is loaded in a headless browser by the tests.
for pkg in libgtest-dev cmake g++ nlohmann-json3-dev chromium; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
for pkg in ${QM_EXTRA_DEBS:-}; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "== apt-get install ${need[*]} =="
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    else
        echo "missing Debian packages: ${need[*]} (run as root or install them first)" >&2
        exit 1
    fi
fi

pick_python() {
    local c
    for c in python3.12 "$HOME"/.pyenv/versions/3.12*/bin/python3 python3; do
        if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys, venv; assert sys.version_info >= (3, 11)' 2>/dev/null; then
            echo "$c"
            return
        fi
    done
    echo "no CPython >= 3.11 found" >&2
    return 1
}
PYTHON=$(pick_python)
VENV=${VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
    echo "== virtual environment $VENV ($("$PYTHON" --version)) =="
    "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
