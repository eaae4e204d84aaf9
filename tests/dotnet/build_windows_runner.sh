#!/bin/sh
# Builds the C# binding's Windows test runner (bindings/dotnet/tests/Windows)
# as a self-contained win-x64 program: packs the binding into the NuGet
# package Gpiolink with the built gpiolink.dll as its win-x64 asset, in a
# feed of its own, and publishes the runner against that package. The .NET
# runtime for Windows (the runtime and host packs) comes from the NuGet
# registry on the first run.
# usage: build_windows_runner.sh SOURCE_DIR GPIOLINK_DLL VERSION OUT_DIR
set -eu
source=$1 dll=$(readlink -f "$2") version=$3 out=$4
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_CLI_USE_MSBUILD_SERVER=0 MSBUILDDISABLENODEREUSE=1
package_version=$version-wine-test
rm -rf "$out/feed" "$out/runner"
dotnet pack "$source/bindings/dotnet/Gpiolink/Gpiolink.Net.csproj" --artifacts-path "$out/artifacts" \
  --output "$out/feed" --disable-build-servers -nodeReuse:false -p:Version="$package_version" \
  -p:GpiolinkWindowsLibrary="$dll"
# A package of this version restored earlier holds an earlier build's DLL.
rm -rf "${NUGET_PACKAGES:-$HOME/.nuget/packages}/gpiolink/$package_version"
dotnet publish "$source/bindings/dotnet/tests/Windows/Gpiolink.Tests.Windows.csproj" \
  --artifacts-path "$out/artifacts" --output "$out/runner" --disable-build-servers -nodeReuse:false \
  -p:GpiolinkPackageVersion="$package_version" -p:RestoreAdditionalProjectSources="$out/feed"
