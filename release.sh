#!/usr/bin/env bash
# Builds every release artefact of gpiolink into dist/, from the files of
# this checkout (those git tracks or would add; never build outputs):
#   gpiolink-VERSION-win64.zip             the DLL, gpioctl.exe, gpio-sim.exe,
#                                          header, import libraries and .def,
#                                          CMake and pkg-config files
#   libgpiolink0_VERSION_ARCH.deb          the Debian packages: library,
#   libgpiolink-dev_VERSION_ARCH.deb       development files, tools,
#   gpiolink-tools_VERSION_ARCH.deb        gpio-mqtt with its systemd unit
#   gpiolink-mqtt_VERSION_ARCH.deb         (with the web panel), and
#   gpiolink-modbus_VERSION_ARCH.deb       gpio-modbus with its own
#   gpiolink-panel-VERSION.tar.gz          the web panel (and the licences of
#                                          what it bundles), its broker's
#                                          configuration and ACL
#   gpiolink-VERSION-py3-none-TAG.whl      Python wheels carrying the library
#                                          (Linux x86_64, with gpioctl and
#                                          gpio-sim as commands, and win_amd64)
#   gpiolink-VERSION.tar.gz                the Python sdist
#   Gpiolink.VERSION.nupkg                 the NuGet package (with dotnet)
#   SHA256SUMS                             the checksums of all of the above
# VERSION is the CMake project's. The builds use folders of their own,
# build/release-*, with the tests off; docs/release.md tells the details.
#
# Reproducible: every time stamp is the last commit's (SOURCE_DATE_EPOCH),
# the PE headers carry none, the build folder is mapped out of the binaries
# and the archives hold sorted entries with fixed times and modes.
#
# Needs the 'release' package set: tools/install-deps.sh release.
# Without dotnet the NuGet package is left out with a message; with CI=true
# that fails the release instead.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
tools/install-deps.sh release

fail() {
  echo "release: $*" >&2
  exit 1
}
# Each step with the seconds since the start, so that a long one shows
# where the time goes.
step() {
  echo "== release [${SECONDS} s]: $*"
}

version=$(sed -n 's/^project(gpiolink VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no 'project(gpiolink VERSION x.y.z' line in CMakeLists.txt"
git rev-parse --git-dir >/dev/null 2>&1 || fail "not a git checkout: the release takes its time from the last commit"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022

src=$root/build/release-src/gpiolink-$version
linux=$root/build/release-linux
windows=$root/build/release-windows
dist=$root/dist
rm -rf "$root"/build/release-* "$dist"
mkdir -p "$src" "$linux" "$windows" "$dist"

step "gpiolink $version, time $(date -u -d "@$SOURCE_DATE_EPOCH" +%FT%TZ) (the last commit's)"
# The checkout's files as they are, without build outputs and ignored
# files, all dated SOURCE_DATE_EPOCH: a file's date goes into the Debian
# packages, and a checkout's dates differ from clone to clone.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
  tar --null -T - --mtime="@$SOURCE_DATE_EPOCH" -cf - | tar -xf - -C "$src"

# The binaries name no folder of this machine: the build paths map to '.'.
prefix_map="-ffile-prefix-map=$root=."

step "Web panel (npm ci, Vite)"
# Built from the checkout's panel/ in a folder of its own, with the npm
# packages of its lock file; one index.html, which gpiolink-mqtt installs
# and the panel's tarball carries.
panel=$root/build/release-panel
mkdir -p "$panel"
cp -r "$src/panel/." "$panel/"
(cd "$panel" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >npm.log 2>&1 &&
  node node_modules/vite/bin/vite.js build --logLevel warn) ||
  { tail -20 "$panel/npm.log" >&2; fail "the panel's build failed (build/release-panel)"; }
panel_root=$panel/stage/gpiolink-panel-$version
mkdir -p "$panel_root/panel"
cp "$panel/dist/index.html" "$panel/dist/THIRD-PARTY-LICENSES.txt" "$panel_root/panel/"
cp -r "$src/panel/mosquitto" "$panel_root/"
cp "$src/LICENSE" "$panel_root/"
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --mode=u=rwX,go=rX \
  -C "$panel/stage" -cf - "gpiolink-panel-$version" | gzip -9n >"$dist/gpiolink-panel-$version.tar.gz"

step "Debian packages"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
cp -r "$src/packaging/debian" "$src/debian"
# gpiolink-mqtt installs the panel built above (debian/gpiolink-mqtt.install).
mkdir -p "$src/debian/panel"
cp "$panel/dist/index.html" "$panel/dist/THIRD-PARTY-LICENSES.txt" "$src/debian/panel/"
touch -d "@$SOURCE_DATE_EPOCH" "$src/debian/panel/"*
maintainer=$(sed -n 's/^Maintainer: //p' "$src/debian/control")
cat >"$src/debian/changelog" <<EOF
gpiolink ($version) unstable; urgency=medium

  * Release $version: see CHANGELOG.md.

 -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
EOF
(cd "$src" && DEB_BUILD_OPTIONS="noautodbgsym ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc >"$root/build/release-src/dpkg-buildpackage.log" 2>&1) ||
  { tail -40 "$root/build/release-src/dpkg-buildpackage.log" >&2; fail "dpkg-buildpackage failed (build/release-src/dpkg-buildpackage.log)"; }
cp "$root"/build/release-src/*_"$version"_*.deb "$dist/"
if command -v lintian >/dev/null; then
  # Errors and warnings fail the release; notes (I:) are shown.
  lintian --fail-on error,warning --tag-display-limit 0 "$root"/build/release-src/gpiolink_"${version}"_*.changes |
    tee "$root/build/release-src/lintian.txt" ||
    fail "lintian found errors or warnings (build/release-src/lintian.txt)"
else
  fail "lintian is not installed (tools/install-deps.sh release)"
fi
# The Linux library of every other artefact is the package's: hardened and stripped.
cp "$src/debian/libgpiolink0/usr/lib/$multiarch/libgpiolink.so.$version" "$linux/libgpiolink.so"

step "Windows: DLL and tools (MinGW-w64)"
# The PE headers get no time stamp (zero): ld is told so, and both ld and
# strip write SOURCE_DATE_EPOCH there when it is set, the current time when not.
SOURCE_DATE_EPOCH=0 CFLAGS="$prefix_map" CXXFLAGS="$prefix_map" LDFLAGS=-Wl,--no-insert-timestamp \
  cmake -S "$src" -B "$windows" -G Ninja --toolchain "$src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGPIOLINK_BUILD_TESTS=OFF >"$windows/configure.log"
SOURCE_DATE_EPOCH=0 cmake --build "$windows" -j "$(nproc 2>/dev/null || echo 2)" >"$windows/build.log" ||
  { tail -40 "$windows/build.log" >&2; fail "the Windows build failed (build/release-windows/build.log)"; }
zip_root=$windows/stage/gpiolink-$version-win64
SOURCE_DATE_EPOCH=0 cmake --install "$windows" --prefix "$zip_root" --strip >/dev/null
cp "$src/README.md" "$src/LICENSE" "$src/CHANGELOG.md" "$zip_root/"
# The pages the README links to come along, so that its links work in the
# unpacked folder.
mkdir -p "$zip_root/docs"
cp "$src"/docs/*.md "$src"/docs/*.png "$zip_root/docs/"
for file in bin/gpiolink.dll bin/gpioctl.exe bin/gpio-sim.exe include/gpiolink.h lib/libgpiolink.dll.a \
    lib/gpiolink.lib lib/gpiolink.def lib/cmake/gpiolink/gpiolinkConfig.cmake lib/pkgconfig/gpiolink.pc; do
  [ -f "$zip_root/$file" ] || fail "the Windows install has no $file"
done
python3 "$src/packaging/zip_tree.py" "$dist/gpiolink-$version-win64.zip" "$zip_root"

step "Linux: gpioctl and gpio-sim for the Python wheel (static)"
# The wheel's commands run these programs: linked statically, the library
# and the C++ runtime inside, so that they need no glibc symbol at all.
tools_build=$linux/tools
CFLAGS="$prefix_map" CXXFLAGS="$prefix_map" cmake -S "$src" -B "$tools_build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGPIOLINK_BUILD_TESTS=OFF -DGPIOLINK_BUILD_BENCH=OFF \
  -DGPIOLINK_BUILD_MQTT=OFF -DGPIOLINK_STATIC_TOOLS=ON >"$linux/configure.log"
cmake --build "$tools_build" -j "$(nproc 2>/dev/null || echo 2)" --target gpioctl gpio-sim >"$linux/build.log" 2>&1 ||
  { tail -40 "$linux/build.log" >&2; fail "the static Linux tools failed to build (build/release-linux/build.log)"; }
mkdir -p "$linux/bin"
strip -o "$linux/bin/gpioctl" "$tools_build/tools/gpioctl/gpioctl"
strip -o "$linux/bin/gpio-sim" "$tools_build/tools/gpio_sim/gpio-sim"

step "Python wheels and sdist"
# The Linux wheel is manylinux_2_28: for glibc 2.28 and later (Debian 10
# and 11, Ubuntu 20.04, RHEL 8). Its library may need nothing but glibc,
# and nothing of it newer than 2.28; its programs nothing at all.
glibc_floor=2.28
linux_platform=manylinux_${glibc_floor/./_}_x86_64
needed=$(readelf -d "$linux/libgpiolink.so" "$linux/bin/gpioctl" "$linux/bin/gpio-sim" |
  sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -Exv 'lib(c|m|pthread|dl|rt)\.so\.[0-9]+|ld-linux-x86-64\.so\.2' || true)
[ -z "$needed" ] || fail "the Linux wheel's binaries need more than glibc: $needed"
"$src/tools/glibc_versions.sh" "$glibc_floor" "$linux/libgpiolink.so" "$linux/bin/gpioctl" "$linux/bin/gpio-sim" ||
  fail "the Linux wheel's binaries need a glibc newer than $glibc_floor, which its tag $linux_platform promises"
(cd "$src/bindings/python" && python3 - "$dist" "$linux/libgpiolink.so" "$linux_platform" \
  "$zip_root/bin/gpiolink.dll" "$linux/bin/gpioctl:$linux/bin/gpio-sim" <<'EOF'
import sys
sys.path.insert(0, "build_backend")
import gpiolink_backend

dist, linux_library, linux_platform, windows_library, linux_programs = sys.argv[1:]
linux = {"native-library": linux_library, "platform": linux_platform, "programs": linux_programs}
print(gpiolink_backend.build_wheel(dist, linux))
print(gpiolink_backend.build_wheel(dist, {"native-library": windows_library, "platform": "win_amd64"}))
print(gpiolink_backend.build_sdist(dist))
EOF
)

step "NuGet package"
pack=$src/packaging/nuget/pack.sh
if [ ! -f "$pack" ]; then
  echo "release: no packaging/nuget/pack.sh in this tree: no NuGet package"
elif command -v dotnet >/dev/null; then
  bash "$pack" "$version" "$linux/libgpiolink.so" "$zip_root/bin/gpiolink.dll" "$dist"
  [ -f "$dist/Gpiolink.$version.nupkg" ] || fail "packaging/nuget/pack.sh left no Gpiolink.$version.nupkg"
elif [ "${CI:-}" = true ]; then
  fail "the .NET SDK (dotnet) is missing: CI builds the NuGet package too"
else
  echo "release: the .NET SDK (dotnet) is not installed: the NuGet package is skipped"
fi

step "SHA256SUMS"
(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort | xargs sha256sum >SHA256SUMS)
(cd "$dist" && ls -l --time-style=+ | sed 1d && cat SHA256SUMS)
