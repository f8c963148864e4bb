#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
#   ensure-deps.sh demo   what `make demo` needs
#   ensure-deps.sh test   what `make test` and `make bench` need as well
#   ensure-deps.sh fuzz   what `make demo` needs, and clang with libFuzzer for `make fuzz`
set -eu
want=(cmake ninja-build g++ make zlib1g-dev libisal-dev libedit-dev)
# tavolin serve: HTTP from cpp-httplib (its pkg-config file gives its build flags), JSON read with
# nlohmann-json.
want+=(pkg-config libcpp-httplib-dev nlohmann-json3-dev)
if [ "${1:-demo}" = test ]; then
  want+=(g++-multilib googletest libbenchmark-dev nlohmann-json3-dev openjdk-17-jdk-headless)
  # GoogleTest built once by Debian, for x86-64 and i386 (the sources serve the other trees).
  want+=(libgtest-dev libgmock-dev libgtest-dev:i386 libgmock-dev:i386)
  # The Windows build (MinGW-w64) and Wine with its 32-bit part to run its tests.
  want+=(g++-mingw-w64-i686-posix libz-mingw-w64-dev wine wine32:i386)
  # The browser tests: headless Chromium driven from Node (puppeteer-core comes from npm, by
  # tests/browser/run.sh). A Node installed from elsewhere brings its own npm.
  want+=(chromium)
  command -v node >/dev/null || want+=(nodejs)
  command -v npm >/dev/null || want+=(npm)
fi
if [ "${1:-demo}" = fuzz ]; then
  want+=(clang-14 libclang-rt-14-dev)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
