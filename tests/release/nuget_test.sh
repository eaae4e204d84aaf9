#!/usr/bin/env bash
# The NuGet package as a user meets it: a new console project takes Gpiolink
# from DIST_DIR, its only package source, and `dotnet run` drives gpio-sim
# with the example of bindings/dotnet/README.md, with no LD_LIBRARY_PATH.
#   tests/release/nuget_test.sh DIST_DIR GPIO_SIM
# Prints one line with the result; exits 0 when the example printed what
# the README says.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 DIST_DIR GPIO_SIM" >&2; exit 64; }
dist=$(cd "$1" && pwd) sim=$(readlink -f "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() {
  echo "nuget_test: FAIL: $1"
  exit 1
}
command -v dotnet >/dev/null || fail "the .NET SDK (dotnet) is not on the PATH"
package=$(ls "$dist"/Gpiolink.*.nupkg 2>/dev/null | head -1)
[ -n "$package" ] || fail "no Gpiolink.*.nupkg in $dist"
version=$(basename "$package" .nupkg)
version=${version#Gpiolink.}

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_CLI_USE_MSBUILD_SERVER=0 MSBUILDDISABLENODEREUSE=1
# A package folder of its own: a Gpiolink of the same version restored
# earlier into ~/.nuget/packages would be taken instead of this one.
export NUGET_PACKAGES=$work/packages
cd "$work" || fail "no scratch folder"
sed -n '/^```csharp$/,/^```$/p' "$root/bindings/dotnet/README.md" | sed '1d;$d' >Example.cs
printf '<configuration><packageSources><clear /><add key="dist" value="%s" /></packageSources></configuration>\n' \
  "$dist" >nuget.config
{
  dotnet new console -o Example && cp Example.cs Example/Program.cs &&
    dotnet add Example package Gpiolink --version "$version" &&
    dotnet build Example --disable-build-servers -nodeReuse:false
} >build.log 2>&1 || fail "the console project did not build with the package: $(tail -5 build.log | tr '\n' ' ')"

"$sim" >sim.out 2>sim.err &
for _ in $(seq 100); do
  grep -q '^port: ' sim.out && break
  sleep 0.05
done
port=$(sed -n 's/^port: //p' sim.out)
[ -n "$port" ] || fail "gpio-sim did not start: $(cat sim.err)"
output=$(dotnet run --project Example --no-build -- "$port" 2>run.err)
[ "$output" = $'0xA5 GPIO-SIM 1.0 True\nGPIO_RESULT_DEVICE_FF' ] ||
  fail "dotnet run printed '$output', stderr: $(cat run.err)"
echo "nuget_test: PASS: Gpiolink $version from $(basename "$package") drove gpio-sim on $port through dotnet run"
