#!/usr/bin/env bash
# Builds and runs every test, stage by stage:
#   unit      -Werror build; GoogleTest suites and the Python module's pytest suite
#             through real named pipes
#   stress    the unit suites 20 times in a row beside CPU hogs: no flaky test
#   asan      the same suites under AddressSanitizer + UndefinedBehaviorSanitizer
#   install   install, then outside programs built with find_package and pkg-config
#   i386      the rig's 32-bit x86 ABI    } Debian's cross compiler; the suites run natively where
#   armhf     32-bit ARM, hard-float      } the host runs the target's programs, else under qemu-user;
#   arm64     64-bit ARM                  } records byte-identical to x86-64
#   fuzz      libFuzzer targets for a fixed number of runs
#   valgrind  setServo, servo-sweep and a suite: no leak, no fd left open, no bad access
#   calls     system calls and allocations per library call, setServo's device calls
#   analysis  clang-tidy and cppcheck
#   man       the man pages render without warnings
#   package   Debian packages for amd64, armhf and arm64 (python3-servo included),
#             checked by scripts/package.sh
#   readme    the demo, and servod by hand as README.md has it (root: it uses /dev/rtf1)
#   board     the arm64 package on Debian's kernel and systemd under qemu-system-aarch64,
#             servod driving the kernel's pwm-gpio on a GPIO line (board/run.sh)
# usage: scripts/test.sh [STAGE...]    (no stage: all of them)
# Builds go to build/PRESET (CMakePresets.json), or under $SERVO_BUILD_ROOT.
# SERVO_FORCE_EMULATOR=1 runs the target stages under qemu-user even where the
# host could run them natively; SERVO_FORCE_NATIVE=1 runs them directly even
# where binfmt_misc passes them to qemu (to prove the native path on such a host).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${SERVO_BUILD_ROOT:-$root/build}
jobs=$(nproc)
hogs=() # CPU hogs of the stress stage, gone however the script ends
trap '[ ${#hogs[@]} -eq 0 ] || kill "${hogs[@]}" 2>/dev/null || true' EXIT
all_stages=(unit stress asan install i386 armhf arm64 fuzz valgrind calls analysis man package board readme)
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=("${all_stages[@]}")

configure() { # preset, build dir, extra cmake args...
  local preset=$1 dir=$2; shift 2
  cmake --preset "$preset" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# Every fd that valgrind lists at exit must be one the program inherited.
check_valgrind_log() { # log file, what
  if awk '/Open (file descriptor|AF_UNIX socket)/ { getline nxt; if (nxt !~ /inherited from parent/) bad = 1 }
          END { exit bad }' "$1"; then
    echo "valgrind: $2: no leak, no fd left open, no invalid access"
  else
    echo "valgrind: $2 left a file descriptor open:"; cat "$1"; return 1
  fi
}

stage_unit() {
  configure dev "$out/dev"
  ctest --test-dir "$out/dev" -j "$jobs" --output-on-failure
  check_pictures "$out/dev/bin/servoplot" "$out/pictures"
}

# servoplot's pictures are well-formed XML, and librsvg renders them without
# a word: the README's, and nine traces with a band, gaps and names to escape.
check_pictures() { # servoplot, work dir
  local plot=$1 dir=$2 i svg err
  rm -rf "$dir"; mkdir -p "$dir"
  for i in 1 2 3 4 5 6 7 8 9; do
    awk -F, -v i="$i" 'NR == 1 { print; next }
      { print $1 + 100 * i "," (NR % 30 == 0 ? 0 : $2 + 20000 * i) }' "$root/doc/demo-trace.csv" > "$dir/servo$i.csv"
  done
  mv "$dir/servo9.csv" "$dir/pan & <tilt> \"ü\".csv"
  "$plot" --range 1100:1900 -o "$dir/nine.svg" "$dir"/*.csv
  for svg in "$root/doc/demo.svg" "$dir/nine.svg"; do
    xmllint --noout "$svg"
    if ! err=$(rsvg-convert -o "$dir/picture.png" "$svg" 2>&1) || [ -n "$err" ]; then
      echo "rsvg-convert $svg: ${err:-failed}"; return 1
    fi
  done
  echo "pictures: doc/demo.svg and nine traces parse as XML and render without a warning"
}

# A test that fails one run in twenty is broken: twenty runs in a row with a
# CPU hog more than there are cores, and not one failure.
stage_stress() {
  configure dev "$out/dev"
  local i
  for i in $(seq $((jobs + 1))); do
    (while :; do :; done) &
    hogs+=($!)
  done
  for i in $(seq 20); do
    if ! ctest --test-dir "$out/dev" -j "$jobs" --output-on-failure >"$out/stress.log" 2>&1; then
      cat "$out/stress.log"
      echo "stress: run $i of 20 failed under load"
      return 1
    fi
  done
  kill "${hogs[@]}"
  hogs=()
  echo "stress: 20 runs of $(ctest --test-dir "$out/dev" -N | sed -n 's/^Total Tests: //p') tests with $((jobs + 1)) CPU hogs, no failure"
}

stage_asan() {
  configure asan "$out/asan"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$out/asan" -j "$jobs" --output-on-failure
}

stage_install() {
  configure dev "$out/dev"
  rm -rf "$out/prefix" "$out/consumer" "$out/examples"
  cmake --install "$out/dev" --prefix "$out/prefix" >/dev/null
  for f in bin/setServo bin/servosim bin/servoplot bin/servo-sweep include/servo.h \
           lib/libservo.a lib/cmake/Servo/ServoConfig.cmake lib/pkgconfig/servo.pc \
           share/man/man1/setServo.1 share/man/man1/servosim.1; do
    test -e "$out/prefix/$f" || { echo "not installed: $f"; return 1; }
  done
  cmake -S "$root/tests/consumer" -B "$out/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
  cmake --build "$out/consumer"
  "$out/consumer/consumer"
  cmake -S "$root/examples" -B "$out/examples" -G Ninja -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
  cmake --build "$out/examples"
  local flags
  flags=$(PKG_CONFIG_PATH="$out/prefix/lib/pkgconfig" pkg-config --cflags --libs servo)
  c++ -std=c++17 "$root/tests/consumer/consumer.cpp" $flags -o "$out/consumer/consumer-pc"
  "$out/consumer/consumer-pc"
  local site
  site=$(echo "$out"/prefix/lib/python3*/dist-packages)
  /usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import servo; assert servo.__file__.startswith(sys.argv[1])' "$site"
  echo "install: import servo from $site"
}

emulator_of() { sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$1/CMakeCache.txt"; }

# A target ABI, built with Debian's cross compiler (cmake/toolchains/). The
# suites and their child programs run natively where this host runs the
# target's programs, else under the emulator the toolchain file names.
stage_abi() { # preset: i386, armhf or arm64
  local abi=$1 dir=$out/$1 host work log
  configure dev "$out/dev"
  work=$(mktemp -d /tmp/servo-abi-XXXXXX)
  # Start from the toolchain's emulator, whatever an earlier run chose.
  cmake --preset "$abi" -B "$dir" -UCMAKE_CROSSCOMPILING_EMULATOR >/dev/null
  cmake --build "$dir" -j "$jobs" --target record_dump
  local qemu
  qemu=$(emulator_of "$dir")
  if [ "${SERVO_FORCE_EMULATOR:-0}" = 1 ]; then
    host="emulated (SERVO_FORCE_EMULATOR=1)"
  elif [ "${SERVO_FORCE_NATIVE:-0}" != 1 ] &&
       grep -qsx "interpreter .*/$(basename "$qemu")\(-static\)\?" /proc/sys/fs/binfmt_misc/*; then
    # It would run, but through qemu all the same: keep the emulator in sight.
    host="emulated (binfmt_misc hands $abi programs to $(basename "$qemu"))"
  elif (cd "$work" && "$dir/tests/record_dump" >/dev/null 2>&1); then
    host="native"
    cmake --preset "$abi" -B "$dir" -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
  else
    host="emulated (cannot run $abi programs itself)"
  fi
  cmake --build "$dir" -j "$jobs"
  local emu=()
  IFS=';' read -r -a emu <<< "$(emulator_of "$dir")"
  echo "$abi: host kind: $host; target programs run ${emu[*]:+under }${emu[*]:-natively}"

  log=$work/ctest.log
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure | tee "$log"
  # Only the tests of signal delivery, which the emulator cannot host, may
  # skip, and only there.
  local skipped expect=""
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log" | sort)
  [ ${#emu[@]} -gt 0 ] && expect=$(printf '%s\n' BaseServo.WriteInterruptedBySignalsIsRetriedAndSentWhole \
                                       TimedServo.WaitDoneInterruptedBySignalsKeepsItsDeadline | sort)
  [ "$skipped" = "$expect" ] || { echo "$abi: skipped '${skipped//$'\n'/ }', expected '$expect'"; return 1; }
  [ -z "$skipped" ] || echo "$abi: skipped under the emulator, as it must be: $skipped"

  (
    cd "$work"
    "$out/dev/tests/record_dump" > x86-64.txt
    "${emu[@]}" "$dir/tests/record_dump" > "$abi.txt"
    diff -u x86-64.txt "$abi.txt"
    mkfifo rtf1
    exec 3<>rtf1
    for p in 0 1 128 255 300 -1 -257 2147483647 -2147483648; do
      "$out/dev/bin/setServo" "$p"; a=$(dd bs=28 count=1 status=none <&3 | od -An -tx1)
      "${emu[@]}" "$dir/bin/setServo" "$p"; b=$(dd bs=28 count=1 status=none <&3 | od -An -tx1)
      [ "$a" = "$b" ] || { echo "setServo $p differs: x86-64 $a, $abi $b"; exit 1; }
    done
    echo "$abi: library record dump ($(grep -c . "$abi.txt") lines) and 9 setServo records byte-identical to x86-64"
  )
  rm -rf "$work"
}
stage_i386() { stage_abi i386; }
stage_armhf() { stage_abi armhf; }
stage_arm64() { stage_abi arm64; }

stage_fuzz() {
  cmake -S "$root" -B "$out/fuzz" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSERVO_FUZZ=ON -DSERVO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$out/fuzz" -j "$jobs" --target fuzz_position fuzz_servosim
  local work
  work=$(mktemp -d /tmp/servo-fuzz-XXXXXX)
  (cd "$work" && "$out/fuzz/tests/fuzz/fuzz_position" -seed=1 -runs=2000000 2>&1 | tail -1)
  (cd "$work" && "$out/fuzz/tests/fuzz/fuzz_servosim" -seed=1 -runs=200000 2>&1 | tail -1)
  rm -rf "$work"
}

stage_valgrind() {
  # Valgrind cannot follow a static glibc's start-up, so this build links
  # setServo dynamically; the code is the same.
  configure dev "$out/valgrind" -DSERVO_STATIC_TOOL=OFF
  local vg=(valgrind --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
            --track-fds=yes --error-exitcode=1 -q)
  local work
  work=$(mktemp -d /tmp/servo-vg-XXXXXX)
  (
    cd "$work"
    mkfifo rtf1
    "${vg[@]}" --log-file=setServo.log "$out/valgrind/bin/setServo" 128
    check_valgrind_log setServo.log "setServo 128"
    "${vg[@]}" --log-file=bad.log "$out/valgrind/bin/setServo" 12x 2>/dev/null && exit 1
    check_valgrind_log bad.log "setServo 12x"
    rm rtf1
    "$out/valgrind/bin/servosim" --frame-ms 1 > sim.out &
    sim=$!
    for _ in $(seq 200); do grep -q "servosim: commands on" sim.out && break; sleep 0.05; done
    "${vg[@]}" --log-file=sweep.log "$out/valgrind/bin/servo-sweep" 0 255 2
    check_valgrind_log sweep.log "servo-sweep 0 255 2"
    kill "$sim"; wait "$sim"
  )
  "${vg[@]}" --log-file="$work/suite.log" "$out/valgrind/tests/servo_tests" --gtest_brief=1 \
    --gtest_filter='-*Interrupted*'
  check_valgrind_log "$work/suite.log" "servo_tests"
  rm -rf "$work"
}

stage_calls() {
  configure release "$out/bench" -DSERVO_BUILD_BENCH=ON -DSERVO_COMMAND_DEVICE=rtf1 \
    -DSERVO_STATUS_DEVICE=rtf2
  "$root/bench/calls.sh" "$out/bench"
}

stage_analysis() {
  cmake --preset dev -B "$out/tidy" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  # The checks are listed in .clang-tidy.
  run-clang-tidy -quiet -p "$out/tidy" "$root/(src|realtime|examples|tests|bench|python)/|setServo.cpp" > "$out/tidy.log" 2>&1 ||
    { grep -E "warning:|error:" "$out/tidy.log"; return 1; }
  if grep -E "warning:|error:" "$out/tidy.log"; then return 1; fi
  echo "clang-tidy: clean"
  cppcheck --project="$out/tidy/compile_commands.json" --enable=warning,performance,portability \
    --error-exitcode=1 --inline-suppr --quiet --suppress=missingIncludeSystem -i "$root/tests" -i "$out"
  echo "cppcheck: clean"
}

stage_man() {
  for page in "$root"/man/*.1; do
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page: $warnings"; return 1; }
    echo "man: $(basename "$page") renders cleanly"
  done
}

# The packages for this machine, and for the boards from the cross compilers.
stage_package() {
  local arch toolchain
  for arch in native armhf arm64; do
    toolchain=(-DSERVO_PYTHON=ON)
    if [ "$arch" != native ]; then
      # The target's Python headers, and its interpreter to import the module.
      "$root/scripts/python-target.sh" "$arch" "$out/python-$arch"
      toolchain+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake" -DSERVO_PYTHON_ROOT="$out/python-$arch")
    fi
    cmake --preset release -B "$out/package-$arch" "${toolchain[@]}" >/dev/null
    "$root/scripts/package.sh" "$out/package-$arch"
  done
}

# The arm64 package as the package stage makes it, made again if missing or
# older than its programs, installed and checked on an emulated board.
stage_board() {
  local dir=$out/package-arm64 deb
  [ -f "$dir/CMakeCache.txt" ] ||
    cmake --preset release -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/arm64.cmake" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  deb=$(ls "$dir"/servo_*_arm64.deb 2>/dev/null || true)
  if [ -z "$deb" ] || [ -n "$(find "$dir/bin" "$dir/realtime/servod.service" -newer "$deb")" ]; then
    "$root/scripts/package.sh" "$dir" >"$out/board-package.log" 2>&1 || { cat "$out/board-package.log"; return 1; }
  fi
  "$root/board/run.sh" "$dir"
}

# Both commands README.md promises: the demo, and servod by hand as written.
stage_readme() {
  "$root/scripts/demo.sh" >"$out/demo.log" 2>&1 || { cat "$out/demo.log"; return 1; }
  grep -q '<path' "$out/demo/run/servo.svg" || { echo "demo: no plot"; return 1; }
  echo "demo: servosim moved by setServo and servo-sweep, plotted in $out/demo/run/servo.svg"
  "$root/scripts/readme-servod.sh"
}

passed=0
for stage in "${stages[@]}"; do
  if ! declare -F "stage_$stage" >/dev/null; then
    echo "unknown stage '$stage' (stages: ${all_stages[*]})" >&2
    exit 2
  fi
  echo "== $stage"
  start=$SECONDS
  "stage_$stage"
  echo "== $stage passed in $((SECONDS - start)) s"
  passed=$((passed + 1))
done
echo "stages: $passed passed, 0 failed"
