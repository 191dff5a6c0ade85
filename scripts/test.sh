#!/usr/bin/env bash
# Builds and runs every test: a -Werror build, an ASan+UBSan build, and an
# outside program built against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${SERVO_BUILD_ROOT:-$root/build}
jobs=$(nproc)

configure_tests() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DSERVO_BUILD_TESTS=ON -DSERVO_WERROR=ON \
    -DSERVO_COMMAND_DEVICE=rtf1 -DSERVO_STATUS_DEVICE=rtf2 "$@" >/dev/null
}

echo "== build with warnings as errors, run tests"
configure_tests "$out/test"
cmake --build "$out/test" -j "$jobs"
ctest --test-dir "$out/test" -j "$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build, run tests"
configure_tests "$out/asan" -DSERVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$out/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$out/asan" -j "$jobs" --output-on-failure

echo "== install, then build an outside program with find_package(Servo)"
rm -rf "$out/prefix" "$out/consumer"
cmake --install "$out/test" --prefix "$out/prefix" >/dev/null
cmake -S "$root/tests/consumer" -B "$out/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
cmake --build "$out/consumer"
"$out/consumer/consumer"
cmake -S "$root/examples" -B "$out/examples" -G Ninja -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
cmake --build "$out/examples"
for tool in setServo servosim servoplot servo-sweep; do
  test -x "$out/prefix/bin/$tool" || { echo "not installed: bin/$tool"; exit 1; }
done
echo "all test stages passed"
