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
if [ $# -eq 0 ]; then
  set -- --simulate --trace demo
fi
tools/install-deps.sh demo
# Progress on stderr, so that gpioctl's own output (JSON too) stays alone
# on stdout.
echo "demo: configuring build/demo" >&2
cmake --preset demo >/dev/null
echo "demo: building the library and gpioctl (the first time takes about half a minute)" >&2
cmake --build --preset demo --target gpioctl >&2
echo "demo: built; running gpioctl $*" >&2
exec build/demo/tools/gpioctl/gpioctl "$@"
