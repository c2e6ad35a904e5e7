#!/usr/bin/env bash
# Runs the demo on a fixed set of real models (Debian's assimp-testmodels
# and openarena-081-maps) and writes docs/models.md: a table per model and
# a picture per model.
# Usage: scripts/models.sh [--frames N] [--width W] [--height H] [--out DIR] [--report-only]
# --report-only rewrites the page from the runs already in DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=100
width=640
height=360
out=build/models
usage="scripts/models.sh [--frames N] [--width W] [--height H] [--out DIR] [--report-only]"
source scripts/measure-common.sh
[ $run = 0 ] || build_for_measuring kel_demo

# name|label|demo arguments
models=(
  "house|FZK-Haus, 10 x 10 neighbourhood, walked at eye height|--model $assets/IFC/AC14-FZK-Haus.ifc --grid 10 --walk-height 1.6"
  "engine|2CylinderEngine, 8 x 8 hall|--model $assets/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb --grid 8"
  "oa_dm1|oa_dm1, small arena|--model $maps/oa_dm1.bsp"
  "islandctf|islandctf, large outdoor level|--model $maps/islandctf.bsp"
  "oa_bases7|oa_bases7, many corridors|--model $maps/oa_bases7.bsp"
)

# Median of column $2 of the rows of mode $1 in a frames.csv on stdin; with
# $3, of column $2 / column $3 over rows where column $3 is positive.
median() {
  awk -F, -v mode="$1" -v a="$2" -v b="${3:-0}" '
    NR > 1 && $1 == mode && $3 == 0 { if (b == 0) print $a; else if ($b > 0) print $a / $b }' |
    sort -g | awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "-"; exit }
      m = v[int((NR + 1) / 2)]
      if (m == int(m)) printf "%d\n", m; else printf "%.3f\n", m
    }'
}
# Columns of frames.csv.
drawn=4; queries=6; visible=11; client_ms=19; library_ms=20; frame_ms=21

doc=docs/models.md
mkdir -p "$out"
{
  echo "# The demo on real models"
  echo
  echo "Written by \`scripts/models.sh --frames $frames --width $width --height $height\` on $(date -u +%Y-%m-%d)"
  echo "with llvmpipe (Mesa's software rasteriser), OpenGL. The machine was shared and busy while it ran: frame times"
  echo "are noisy (ratios between modes of one run are steadier than absolute times). Rerun the command on a quiet"
  echo "machine before relying on a figure. Per-frame figures of every run are in \`$out/NAME/frames.csv\`."
  echo
  echo "Every model runs with the demo's defaults for models: partitions by the rule shown, boxes widened by the"
  echo "margin shown, the library's view-volume tests on (partitions and handed objects outside the view are skipped),"
  echo "and on levels only the partitions and entries of the camera's potentially visible set. *levers off* repeats the"
  echo "library without the view tests and the PVS lever. [models-hosts.md](models-hosts.md) explains the levers,"
  echo "compares partitionings and says why a goal is missed."
} > "$doc"

for item in "${models[@]}"; do
  IFS='|' read -r name label args <<< "$item"
  dir="$out/$name"
  if [ $run = 1 ]; then
    echo "models.sh: $label" >&2
    # shellcheck disable=SC2086
    build/tools/kel_demo $args --frames "$frames" --width "$width" --height "$height" --pictures 2 \
      --modes draw-all,frustum,library,oracle,pvs --out "$dir" > "$dir.txt"
    # shellcheck disable=SC2086
    build/tools/kel_demo $args --frames "$frames" --width "$width" --height "$height" --pictures 0 \
      --view-tests 0 --pvs-partitions 0 --modes frustum,library --out "$dir-off" > "$dir-off.txt"
  fi
  csv="$dir/frames.csv"
  off="$dir-off/frames.csv"
  header=$(head -1 "$dir.txt")
  entries=$(sed -n 's/^scene .*: \([0-9]*\) objects in \([0-9]*\) partitions.*/\1/p' <<< "$header")
  partitions=$(sed -n 's/^scene .*: \([0-9]*\) objects in \([0-9]*\) partitions.*/\2/p' <<< "$header")
  rule=$(sed -n 's/^model: \([^ ]*\) partitions, box margin \([^,]*\),.*/\1, margin \2/p' "$dir.txt")
  ms() { median "$1" $frame_ms < "$2"; }
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f\n", a / b }'; }
  lib=$(ms library "$csv"); fru=$(ms frustum "$csv"); pvs=$(ms pvs "$csv")
  libOff=$(ms library "$off"); fruOff=$(ms frustum "$off")
  # A quarter along the path: the orbit of a mesh file, the tour of a level.
  picture=$(ls -v "$dir"/library-*-view.png | head -1)
  cp "$picture" "docs/models-$name.png"
  {
    echo
    echo "## $label"
    echo
    echo "$entries entries, $partitions partitions ($rule), $(grep -c '^library,' "$csv") frames."
    echo "Command: \`build/tools/kel_demo $(sed "s|$assets|/usr/share/assimp/models|" <<< "$args") --frames $frames --width $width --height $height\`"
    echo
    echo "| figure (median over the path) | value |"
    echo "|---|---|"
    echo "| ground-truth visible | $(median oracle $visible < "$csv") |"
    echo "| drawn ÷ visible, library | $(median library $drawn $visible < "$csv") |"
    echo "| drawn ÷ visible, pvs | $(median pvs $drawn $visible < "$csv") |"
    echo "| drawn, library / pvs / frustum | $(median library $drawn < "$csv") / $(median pvs $drawn < "$csv") / $(median frustum $drawn < "$csv") |"
    for mode in draw-all frustum library oracle pvs; do
      echo "| frame ms, $mode | $(ms $mode "$csv") |"
    done
    echo "| library ÷ frustum | $(ratio "$lib" "$fru") |"
    echo "| library ÷ frustum, levers off (a run of its own: library ms / frustum ms / library drawn) | $(ratio "$libOff" "$fruOff") ($libOff / $fruOff / $(median library $drawn < "$off")) |"
    echo "| queries per frame, levers off | $(median library $queries < "$off") |"
    if [ "$pvs" = "-" ]; then
      # Mesh files: the first half of the path orbits above, the second walks through.
      half=$(( $(grep -c '^library,' "$csv") / 2 ))
      orbit() { awk -F, -v h="$half" 'NR == 1 || $2 < h' "$csv" | median "$1" $frame_ms; }
      walk() { awk -F, -v h="$half" 'NR == 1 || $2 >= h' "$csv" | median "$1" $frame_ms; }
      echo "| library ÷ frustum, orbit half / walk half | $(ratio "$(orbit library)" "$(orbit frustum)") / $(ratio "$(walk library)" "$(walk frustum)") |"
    fi
    echo "| library ÷ pvs | $(ratio "$lib" "$pvs") |"
    echo "| queries per frame | $(median library $queries < "$csv") |"
    echo "| library CPU ms | $(median library $library_ms < "$csv") |"
    echo "| library: ms inside client calls (queries, waits, drawing) | $(median library $client_ms < "$csv") |"
    echo
    echo "\`$(tail -1 "$dir.txt")\`"
    echo
    echo "![$label](models-$name.png)"
  } >> "$doc"
done
echo "models.sh: wrote $doc" >&2
