#!/usr/bin/env bash
# Installs the Debian packages the build needs. Does nothing when all are
# present; run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
  # The push service (platform/pushservice) and the real clients its tests use.
  libnghttp2-dev libasio-dev libssl-dev curl nghttp2-client nodejs
  # orvel-sim serve: the README's curl example signs its token with openssl;
  # scripts/bench-pushservice.sh compares with nghttpd.
  openssl nghttp2-server
  # orvel-sim's allocator
  libjemalloc-dev
  # Headless Chromium, which reads orvel-sim's HTML report and live page in
  # the tests, and a font to draw them with
  chromium fonts-dejavu-core
  # GCC's own objc/ headers, which the integration tests keep beside ours
  libobjc-12-dev
)
# Some nodejs packages bring npm with them; Debian's does not.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The provider library the push service's tests send with, from the npm
# registry at the versions of the committed lock file. Installed here, never
# at build time; again only when the lock file changed.
node_tests="$(dirname "$0")/../platform/pushservice/tests/node"
stamp="$node_tests/node_modules/.installed-package-lock.json"
if [ -f "$node_tests/package-lock.json" ] && ! cmp -s "$node_tests/package-lock.json" "$stamp"; then
  echo "setup: npm ci in $node_tests"
  (cd "$node_tests" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$node_tests/package-lock.json" "$stamp"
fi
