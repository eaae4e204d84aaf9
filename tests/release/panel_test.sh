#!/bin/sh
# The web panel's tarball as its users use it: unpacked in an empty place,
# it holds the page, the licences (gpiolink's, and those of the packages the
# page bundles: mqtt.js's among them), the broker's configuration and ACL,
# and nothing else; its configuration and ACL are those of docs/panel.md; mosquitto
# serves the unpacked page, in which Debian's Chromium (playwright-core)
# logs in and finds two gpio-sim controllers through their gpio-mqtt bridges
# and commands an output bit (the first scenarios of the panel's browser
# test, tests/panel/panel.e2e.mjs, run against the unpacked files).
#
# usage: panel_test.sh DIST BUILD  (BUILD: the linux preset's build folder,
# with gpio-sim, gpio-mqtt and the panel's node_modules)
set -eu
dist=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
. "$(dirname "$0")/common.sh"
work=$(empty_work panel)

tarball=$dist/gpiolink-panel-$version.tar.gz
[ -f "$tarball" ] || fail "no $tarball"
tar -xzf "$tarball" -C "$work"
listing=$(cd "$work" && find . -type f | sort | tr '\n' ' ')
expected=$(for file in LICENSE mosquitto/gpiolink-panel.conf mosquitto/gpiolink.acl panel/THIRD-PARTY-LICENSES.txt \
    panel/index.html; do printf './gpiolink-panel-%s/%s ' "$version" "$file"; done)
[ "$listing" = "$expected" ] || fail "the tarball holds: $listing; wanted: $expected"
root=$work/gpiolink-panel-$version
grep -q '^Name: mqtt$' "$root/panel/THIRD-PARTY-LICENSES.txt" || fail "THIRD-PARTY-LICENSES.txt does not name mqtt"
# One self-contained page: nothing loaded from elsewhere.
grep -q '<script type="module"' "$root/panel/index.html" || fail "index.html has no script of its own"
if grep -Eq '<(script|link)[^>]+(src|href)=' "$root/panel/index.html"; then
  fail "index.html loads files besides itself: $(grep -Eo '<(script|link)[^>]+(src|href)=[^>]*>' "$root/panel/index.html")"
fi

[ -x "$build/tools/gpio_mqtt/gpio-mqtt" ] || { echo "no gpio-mqtt in $build: the panel's browser check is skipped"; exit 77; }
[ -x /usr/bin/chromium ] || fail "no /usr/bin/chromium (tools/deps/test.txt)"
PANEL_DIR=$root/panel PANEL_MOSQUITTO=$root/mosquitto PANEL_NODE_MODULES=$build/panel/node_modules \
  PANEL_TEST_OUTPUT=$work/output GPIO_SIM=$build/tools/gpio_sim/gpio-sim GPIO_MQTT=$build/tools/gpio_mqtt/gpio-mqtt \
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 \
  node --test --test-name-pattern='shows both controllers|a click on an output bit' \
  "$source_dir/tests/panel/panel.e2e.mjs" || fail "the unpacked panel, served by mosquitto, failed in Chromium"
echo "panel tarball: $(basename "$tarball") unpacked, served by mosquitto and used in Chromium"
