#!/usr/bin/env bash
# The demo: builds the library and gpioctl, then runs a session against the
# simulated controller on a pseudo-terminal, with every frame on the wire
# traced. With arguments, they go to gpioctl instead, for example
#   ./demo.sh --port ttyUSB0 demo     (a real controller)
#   ./demo.sh --simulate --json demo
set -euo pipefail
cd "$(dirname "$0")"
cmake --preset linux >/dev/null
cmake --build --preset linux --target gpioctl >/dev/null
if [ $# -eq 0 ]; then
  set -- --simulate --trace demo
fi
exec build/linux/tools/gpioctl/gpioctl "$@"
