# Sourced by the measuring scripts (models.sh, views.sh, stream.sh): the
# options they share, and the data and build they need.
# Before sourcing, a script sets its defaults (frames, width, height, out)
# and `usage`; one with options of its own defines `extra_option NAME`,
# which handles NAME or fails. After it: frames, width, height, out, run (0
# with --report-only, which rewrites the page from the runs already in out),
# and assets and maps, where Debian's data packages put them.
run=1
while [ $# -gt 0 ]; do
  case "$1" in
    --frames) frames=$2; shift 2 ;;
    --width) width=$2; shift 2 ;;
    --height) height=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --report-only) run=0; shift ;;
    *)
      if declare -F extra_option >/dev/null && extra_option "$1"; then shift; continue; fi
      echo "usage: $usage" >&2
      exit 2 ;;
  esac
done

assets=/usr/share/assimp/models
maps=/usr/share/games/openarena/baseoa/pak1-maps.pk3:maps

# The data packages and a release build of the
# targets given.
build_for_measuring() {  # targets...
  scripts/install-deps.sh assimp-testmodels openarena-081-maps
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j2 --target "$@"
}
