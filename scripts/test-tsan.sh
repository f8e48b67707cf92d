#!/usr/bin/env bash
# ThreadSanitizer on the programs whose threads meet: the HID link (reader thread, writers,
# watchdog), the engine's threads, the simulator, the UI host, the operations and their gate, the
# station, the window's gate, and quillon-cli run as a program by its end-to-end tests (the
# quillon-cli they start is the TSan build's). Builds only those programs (build/tsan) and runs
# their tests; any report fails the run (halt_on_error). scripts/test.sh tsan runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
programs=(hidlink_test hidlink_stress_test hidlink_sim_contract_test cpro_threads_test sim_test uihost_test
          operations_test station_test station_store_test station_hold_test cli_station_test cli_program_test
          window_gate_test)
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)" --target quillon-cli "${programs[@]}"
labels=$(IFS='|'; echo "${programs[*]}")
# One test at a time: under ThreadSanitizer a paced write runs several times slower, and two such
# tests side by side on a busy machine can stall a write stream for longer than the simulated
# programmer waits between packets (1 s), which then drops the stream as a real one would.
ctest --preset tsan -j 1 -L "^($labels)\$"
