#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# USB listing time and removal latency. Usage: bench/run_usb.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target bench_usb >/dev/null
exec umockdev-wrapper "$build/bench/bench_usb"
