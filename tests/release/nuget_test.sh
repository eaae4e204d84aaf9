#!/usr/bin/env bash
# The NuGet package as a user meets it: the example of
# bindings/dotnet/README.md and the commands below it, as written, make a new
# console project that adds Gpiolink from DIST_DIR, and `dotnet run` drives
# gpio-sim with it, with no LD_LIBRARY_PATH. Then the same project,
# published for win-x64 as a self-contained program (the .NET runtime for
# Windows restored from the NuGet registry), drives gpio-sim on COM5 under
# Wine, with the package's gpiolink.dll.
#   tests/release/nuget_test.sh DIST_DIR GPIO_SIM
# Prints one line with the result; exits 0 when the example printed what
# the README says.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 DIST_DIR GPIO_SIM" >&2; exit 64; }
dist=$(cd "$1" && pwd) sim=$(readlink -f "$2")
. "$(dirname "$0")/common.sh"
command -v dotnet >/dev/null || fail "the .NET SDK (dotnet) is not on the PATH"
package=$dist/Gpiolink.$version.nupkg
[ -f "$package" ] || fail "no $package"
work=$(empty_work nuget)

# The package names the project's home and repository: the home page the
# Debian packages name, and a git repository.
homepage=$(sed -n 's/^Homepage: //p' "$source_dir/packaging/debian/control")
[ -n "$homepage" ] || fail "packaging/debian/control names no Homepage"
nuspec=$(python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).read("Gpiolink.nuspec").decode())' "$package")
echo "$nuspec" | grep -qF "<projectUrl>$homepage</projectUrl>" ||
  fail "the nuspec's project URL is not $homepage: $(echo "$nuspec" | grep -i url)"
echo "$nuspec" | grep -Eq "<repository type=\"git\" url=\"${homepage}[^\"]+\"" ||
  fail "the nuspec names no git repository under $homepage: $(echo "$nuspec" | grep -i repository)"
echo "nuget_test: the nuspec names the project $homepage and its repository"

unset LD_LIBRARY_PATH
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_CLI_USE_MSBUILD_SERVER=0 MSBUILDDISABLENODEREUSE=1
# A package folder of its own: a Gpiolink of the same version restored
# earlier into ~/.nuget/packages would be taken instead of this one.
export NUGET_PACKAGES=$work/packages
cd "$work"
# The README's example and the commands that run it with the package.
readme=$source_dir/bindings/dotnet/README.md
sed -n '/^```csharp$/,/^```$/p' "$readme" | sed '1d;$d' >Example.cs
awk '/^    /{block = block substr($0, 5) "\n"; next} {if (block ~ /add Example package/) printf "%s", block; block = ""}' \
  "$readme" >commands.sh
grep -q 'add Example package Gpiolink --source dist$' commands.sh || fail "no package commands in $readme"

start_sim "$sim" "$work/sim.out"
sed -i "s|--source dist\$|--source '$dist'|; s|ttyUSB0\$|$sim_port|" commands.sh
sh -e commands.sh >run.out 2>run.err || fail "the README's commands failed: $(tail -5 run.err | tr '\n' ' ')"
[ "$(tail -2 run.out)" = $'0xA5 GPIO-SIM 1.0 True\nGPIO_RESULT_DEVICE_FF' ] ||
  fail "the example printed '$(tail -2 run.out)', stderr: $(tail -5 run.err | tr '\n' ' ')"
echo "nuget_test: Gpiolink $version from $(basename "$package") drove gpio-sim on $sim_port through dotnet run"

# Windows: a Wine prefix of the test's own, with COM5 leading to a new gpio-sim.
kill "$sim_pid" 2>/dev/null || true
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64) || fail "wine64 is not installed"
wineserver=$(command -v /usr/lib/wine/wineserver || command -v wineserver)
dotnet publish Example -r win-x64 --self-contained -o "$work/win-x64" >publish.out 2>&1 ||
  fail "publishing for win-x64 failed: $(tail -5 publish.out | tr '\n' ' ')"
[ -f "$work/win-x64/gpiolink.dll" ] || fail "the win-x64 publish has no gpiolink.dll from the package"
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
"$wine" wineboot >/dev/null 2>&1 </dev/null || fail "wineboot failed"
at_exit '"$wineserver" -k 2>/dev/null || true'
start_sim "$sim" "$work/sim-com5.out" --link "$WINEPREFIX/dosdevices/com5"
"$wine" "$work/win-x64/Example.exe" COM5 >win.out 2>win.err </dev/null || fail "Example.exe COM5 failed: $(tail -5 win.err)"
[ "$(tr -d '\r' <win.out | tail -2)" = $'0xA5 GPIO-SIM 1.0 True\nGPIO_RESULT_DEVICE_FF' ] ||
  fail "Example.exe printed '$(tail -2 win.out)', stderr: $(tail -5 win.err | tr '\n' ' ')"
echo "nuget_test: PASS: and published for win-x64, under Wine, on COM5"
