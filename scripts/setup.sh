#!/usr/bin/env bash
# Installs what the build needs on Debian 12, when it is missing: CMake, the MinGW-w64
# cross compiler (posix threads) and Wine.  As root it installs; otherwise it prints the line.
set -eu
packages="cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 libtiff-tools clang libclang-rt-14-dev"
missing=""
command -v cmake >/dev/null 2>&1 || missing="yes"
command -v make >/dev/null 2>&1 || missing="yes"
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="yes"
command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1 || missing="yes"
command -v wine >/dev/null 2>&1 || missing="yes"
command -v tiffinfo >/dev/null 2>&1 || missing="yes"
command -v clang++ >/dev/null 2>&1 || missing="yes"
[ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || missing="yes"
[ -x /usr/lib/wine/wine64 ] || missing="yes"
[ -z "$missing" ] && exit 0

line="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $packages"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing build tools. Run as root:"
  echo "  $line"
  exit 1
fi
echo "Installing: $packages"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null
