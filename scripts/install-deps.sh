#!/usr/bin/env bash
# Installs the Debian packages the project uses when they are missing.
# Usage: scripts/install-deps.sh [package...]   (the extra packages are optional)
#
# As root, or where sudo asks for no password, everything missing is
# installed with apt-get. Otherwise it stops only when a package that the
# build needs is missing, and says which optional parts will be off.
set -euo pipefail

# The library and its tests cannot be built without these.
required=(cmake g++ make libgtest-dev libgmock-dev)
# Optional packages: CMake turns off what they serve where they are missing.
optional=(pkg-config libbenchmark-dev libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri libpng-dev gnuplot-nox
          libvulkan-dev glslang-tools mesa-vulkan-drivers vulkan-validationlayers libassimp-dev libzip-dev
          libglfw3-dev xvfb xauth libmeshoptimizer-dev zlib1g-dev libcurl4-openssl-dev lighttpd "$@")

# What an optional package serves, for the message when it stays missing.
serves() {
  case "$1" in
    pkg-config|libzip-dev) echo "game levels in .pk3 archives" ;;
    libbenchmark-dev) echo "the benchmarks" ;;
    libegl-dev|libgl-dev) echo "the OpenGL client, the demo and their tests" ;;
    libegl-mesa0|libgl1-mesa-dri) echo "a headless OpenGL context on Mesa (the demo and its tests)" ;;
    libpng-dev) echo "the demo" ;;
    gnuplot-nox) echo "the demo's plot.png" ;;
    libvulkan-dev|glslang-tools) echo "the Vulkan client and the demo's --api vulkan" ;;
    mesa-vulkan-drivers) echo "a Vulkan device on Mesa (the Vulkan tests)" ;;
    vulkan-validationlayers) echo "Vulkan validation in the tests" ;;
    libassimp-dev) echo "models in glTF, IFC, OBJ, FBX and the other formats assimp reads" ;;
    libglfw3-dev) echo "the demo's --window" ;;
    xvfb|xauth) echo "the window test" ;;
    libmeshoptimizer-dev|zlib1g-dev) echo "pack files, kel_pack and the demo's streaming" ;;
    libcurl4-openssl-dev) echo "packs read over HTTP" ;;
    lighttpd) echo "the HTTP reader's test (it is skipped)" ;;
    assimp-testmodels|openarena-081-maps) echo "the model tests (they are skipped)" ;;
    *) echo "what the caller asked it for" ;;
  esac
}

# The packages of the arguments that are not installed, each once.
missing_of() {
  local pkg
  local -A seen=()
  for pkg in "$@"; do
    [ -n "${seen[$pkg]:-}" ] && continue
    seen[$pkg]=1
    dpkg -s "$pkg" >/dev/null 2>&1 || echo "$pkg"
  done
}

mapfile -t need_required < <(missing_of "${required[@]}")
mapfile -t need_optional < <(missing_of "${optional[@]}")
[ $((${#need_required[@]} + ${#need_optional[@]})) -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
fi
apt_install() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
if [ "$(id -u)" = 0 ] || [ ${#as_root[@]} -gt 0 ]; then
  "${as_root[@]}" apt-get update || echo "install-deps: apt-get update failed" >&2
  [ ${#need_required[@]} -eq 0 ] || apt_install "${need_required[@]}" || true
  if [ ${#need_optional[@]} -gt 0 ] && ! apt_install "${need_optional[@]}"; then
    # One package that apt cannot install must not keep the others out.
    for pkg in "${need_optional[@]}"; do apt_install "$pkg" || true; done
  fi
  mapfile -t need_required < <(missing_of "${required[@]}")
  mapfile -t need_optional < <(missing_of "${optional[@]}")
fi

for pkg in "${need_optional[@]}"; do
  echo "install-deps: $pkg is missing: no $(serves "$pkg")" >&2
done
if [ ${#need_required[@]} -gt 0 ]; then
  echo "install-deps: the build needs ${need_required[*]}: install them as root (apt-get install ${need_required[*]})" >&2
  exit 1
fi
if [ ${#need_optional[@]} -gt 0 ] && [ "$(id -u)" != 0 ] && [ ${#as_root[@]} -eq 0 ]; then
  echo "install-deps: as root, apt-get install ${need_optional[*]} turns those parts on" >&2
fi
exit 0
