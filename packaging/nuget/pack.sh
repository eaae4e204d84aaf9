#!/usr/bin/env bash
# Builds the NuGet package of the C# binding with dotnet pack:
#   packaging/nuget/pack.sh VERSION LINUX_SO WIN_DLL OUTDIR
# leaves OUTDIR/Gpiolink.VERSION.nupkg holding lib/netstandard2.0/
# Gpiolink.Net.dll with its XML documentation, and the native libraries
# where .NET looks for DllImport("gpiolink"): LINUX_SO (the built
# libgpiolink.so, links followed) as runtimes/linux-x64/native/libgpiolink.so
# and WIN_DLL as runtimes/win-x64/native/gpiolink.dll. A deterministic build:
# the same inputs give the same assembly. Nothing is written into the
# source tree; the build happens in a scratch folder.
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 VERSION LINUX_SO WIN_DLL OUTDIR" >&2
  exit 64
fi
version=$1 linux_so=$2 win_dll=$3 outdir=$4
for file in "$linux_so" "$win_dll"; do
  if [ ! -f "$file" ]; then
    echo "pack.sh: no such file: $file" >&2
    exit 1
  fi
done
if ! command -v dotnet >/dev/null; then
  echo "pack.sh: the .NET SDK (dotnet) is not on the PATH" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Through a scratch copy under a fixed name: dotnet pack takes the file's
# name, and readlink gives the library behind its version links.
cp "$(readlink -f "$linux_so")" "$scratch/libgpiolink.so"
cp "$(readlink -f "$win_dll")" "$scratch/gpiolink.dll"
mkdir -p "$outdir"

# The entries' times: the release's SOURCE_DATE_EPOCH, else the last commit's.
root=$(cd "$(dirname "$0")/../.." && pwd)
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_CLI_USE_MSBUILD_SERVER=0 MSBUILDDISABLENODEREUSE=1
# The assembly and its embedded symbols do not depend on where the tree or
# the scratch folder lie: both are mapped to fixed paths.
dotnet pack "$root/bindings/dotnet/Gpiolink/Gpiolink.Net.csproj" --configuration Release --artifacts-path "$scratch/artifacts" --output "$scratch/out" \
  --disable-build-servers -nodeReuse:false -p:Version="$version" -p:ContinuousIntegrationBuild=true -p:DebugType=embedded \
  -p:PathMap="$root/=/_/%2C$scratch/=/_build/" \
  -p:GpiolinkLinuxLibrary="$scratch/libgpiolink.so" -p:GpiolinkWindowsLibrary="$scratch/gpiolink.dll" \
  >"$scratch/pack.log" 2>&1 || { cat "$scratch/pack.log" >&2; exit 1; }
cp "$scratch/out/Gpiolink.$version.nupkg" "$outdir/"
echo "$outdir/Gpiolink.$version.nupkg"
