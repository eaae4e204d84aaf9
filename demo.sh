#!/usr/bin/env bash
# The demo: builds the library and runs a session against the simulated
# controller on a pseudo-terminal, with every frame traced. Pass --port NAME
# to talk to a real controller instead (ttyUSB0, ...).
set -euo pipefail
cd "$(dirname "$0")"
cmake --preset linux >/dev/null
cmake --build --preset linux --target gpio-demo >/dev/null
if [ $# -eq 0 ]; then
  exec build/linux/tools/demo/gpio-demo --trace
fi
exec build/linux/tools/demo/gpio-demo "$@"
