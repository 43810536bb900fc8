#!/usr/bin/env bash
# Installs what the tests need, then runs the whole suite: the C++ core tests
# (GoogleTest), the Python tests (pytest, including mypy's stubtest) and the
# examples of the API reference (Sphinx's doctest builder), then builds the reference.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null || missing+=(g++)
# Real SQL servers for the exported queries (started privately by the tests).
compgen -G "/usr/lib/postgresql/*/bin/postgres" >/dev/null || missing+=(postgresql)
command -v mariadb-install-db >/dev/null || missing+=(mariadb-server)
# Spark runs on a Java runtime (the tests start a local session).
command -v java >/dev/null || missing+=(openjdk-17-jre-headless)
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    # The Java runtime's package links its manual page, which slim images leave no directory for.
    $SUDO mkdir -p /usr/share/man/man1
    # Packages are installed only: their services are not needed (policy-rc.d may refuse them).
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

"$PYTHON" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$PYTHON" -m pip install -q cmake ninja
"$PYTHON" -m pip install -q ".[test,dask,spark,docs]" duckdb

cmake -S . -B build/engine-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DSEGMORA_BUILD_TESTS=ON -DSEGMORA_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/engine-tests -j2
ctest --test-dir build/engine-tests --output-on-failure

"$PYTHON" -m pytest -q tests

# The API reference (docs/): every example in it runs against the installed
# module, then the pages are built; any warning fails the build.
"$PYTHON" -m sphinx -W --keep-going -E -q -b doctest docs docs/_build/doctest
"$PYTHON" -m sphinx -W --keep-going -E -q -b html docs docs/_build/html
