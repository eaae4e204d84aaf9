#!/usr/bin/env bash
# The demo: installs the missing Debian packages of the 'demo' set
# (tools/deps/demo.txt), builds the library and gpioctl without the tests
# (the demo preset, in build/demo), then runs a session against the
# simulated controller on a pseudo-terminal, with every frame on the wire
# traced. With arguments, they go to gpioctl instead, for example
#   ./demo.sh --port ttyUSB0 demo     (a real controller)
#   ./demo.sh --simulate --json demo
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo --target gpioctl >/dev/null
if [ $# -eq 0 ]; then
  set -- --simulate --trace demo
fi
exec build/demo/tools/gpioctl/gpioctl "$@"
