#!/usr/bin/env bash
# Sanitizer stage: builds the C++ core tests and the extension with
# AddressSanitizer and UndefinedBehaviorSanitizer (GCC's runtime), then runs the
# GoogleTest suite and the pytest suite (fuzzing included) under them. Any
# sanitizer report aborts the process and fails the stage. The interpreter is
# not instrumented: the ASan runtime is preloaded into it (with libstdc++, so
# that ASan finds the real __cxa_throw), with leak detection off (the
# interpreter keeps memory until exit by design).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
BUILD=${SANITIZE_BUILD:-build/sanitize}

missing=()
for lib in libasan.so libubsan.so; do
    [ -e "$(g++ -print-file-name=$lib)" ] || missing+=(libgcc-12-dev)
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[0]}"
fi
"$PYTHON" -m pip install -q cmake ninja hypothesis

FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
    -DSEGMORA_BUILD_TESTS=ON -DSEGMORA_BUILD_EXTENSION=ON >/dev/null
cmake --build "$BUILD" -j2

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --test-dir "$BUILD" --output-on-failure

# The freshly built module comes first on the path (tests/conftest.py). The
# tests that drive outside programs (database servers, Dask worker processes,
# the Spark JVM) are left to the plain run: the preloaded runtime would follow
# them into programs that are not ours, and the kernels they call run here
# through their own tests. So is the out-of-core memory test: ASan's allocator
# keeps freed memory in quarantine, so resident memory says nothing there.
# pytest captures the stderr of the process a report aborts, so reports go to
# files, shown when the run fails.
REPORTS="$PWD/$BUILD/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
status=0
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path="$REPORTS/asan" \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path="$REPORTS/ubsan" \
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
PYTHONMALLOC=malloc \
PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests \
        --ignore=tests/test_sql_engines.py --ignore=tests/test_dask.py --ignore=tests/test_spark.py \
        --ignore=tests/test_out_of_core.py || status=$?
if [ "$status" -ne 0 ]; then
    cat "$REPORTS"/* 2>/dev/null || true
    exit "$status"
fi
