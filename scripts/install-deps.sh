#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
# Usage: scripts/install-deps.sh [extra packages...]
set -euo pipefail
base=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libegl-dev libgl-dev libegl-mesa0
      libgl1-mesa-dri libpng-dev gnuplot-nox libvulkan-dev glslang-tools mesa-vulkan-drivers vulkan-validationlayers
      libassimp-dev libzip-dev libglfw3-dev xvfb xauth libmeshoptimizer-dev zlib1g-dev libcurl4-openssl-dev lighttpd)
need=()
for pkg in "${base[@]}" "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${need[*]} (install them with apt-get as root)" >&2
  exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
