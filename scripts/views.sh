#!/usr/bin/env bash
# Runs the demo's views walks (two eyes, a shadow-casting light, two
# viewports) on the city, a house neighbourhood and a level, each view
# through a library view of its own and all through the default view, and
# writes docs/views.md.
# Usage: scripts/views.sh [--frames N] [--width W] [--height H] [--out DIR] [--report-only]
# --report-only rewrites the page from the runs already in DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=100
width=640
height=360
out=build/views
usage="scripts/views.sh [--frames N] [--width W] [--height H] [--out DIR] [--report-only]"
source scripts/measure-common.sh
[ $run = 0 ] || build_for_measuring kel_demo

# name|label|demo arguments
scenes=(
  "city|procedural city, 18 x 18 blocks|--scene city"
  "house|FZK-Haus, 10 x 10 neighbourhood, walked at eye height|--model $assets/IFC/AC14-FZK-Haus.ifc --grid 10 --walk-height 1.6"
  "oa_dm1|oa_dm1, small arena|--model $maps/oa_dm1.bsp"
)
# run|demo arguments
runs=(
  "stereo|--views stereo --shadow"
  "stereo-shared|--views stereo --shadow --views-shared 1"
  "split|--views split"
  "split-shared|--views split --views-shared 1"
  "shadow-t0|--shadow --threshold 0"
)

# Columns of frames.csv.
drawn=4; queries=6; visible=11; late=16; repeats=17; view=33; texels=34

# Median of column $2 over the rows of view $1 in a frames.csv on stdin;
# with $3, of column $2 / column $3 where column $3 is positive.
median() {
  awk -F, -v name="$1" -v a="$2" -v b="${3:-0}" -v v="$view" '
    NR > 1 && $v == name { if (b == 0) print $a; else if ($b > 0) print $a / $b }' |
    sort -g | awk '{ x[NR] = $1 } END {
      if (NR == 0) { print "-"; exit }
      m = x[int((NR + 1) / 2)]
      if (m == int(m)) printf "%d\n", m; else printf "%.3f\n", m
    }'
}
# Sum of column $2 over the rows of view $1 ("-" where a row has "-").
total() {
  awk -F, -v name="$1" -v a="$2" -v v="$view" '
    NR > 1 && $v == name { if ($a == "-") dash = 1; s += $a; n++ }
    END { if (n == 0 || dash) print "-"; else printf "%d\n", s }'
}
# Frames of view $1 whose column $2 is above zero.
frames_with() {
  awk -F, -v name="$1" -v a="$2" -v v="$view" 'NR > 1 && $v == name && $a != "-" && $a > 0 { n++ } END { print n + 0 }'
}
# Sum of column $2 of view $1 over the sum of column $2 of view $3.
ratio() {
  awk -F, -v a="$1" -v col="$2" -v b="$3" -v v="$view" '
    NR > 1 && $v == a { x += $col } NR > 1 && $v == b { y += $col }
    END { if (y > 0) printf "%.3f\n", x / y; else print "-" }'
}

doc=docs/views.md
mkdir -p "$out"
{
  echo "# Several views a frame: the demo's measurements"
  echo
  echo "Written by \`scripts/views.sh --frames $frames --width $width --height $height\` on $(date -u +%Y-%m-%d)"
  echo "with llvmpipe (Mesa's software rasteriser), OpenGL, on a shared and busy machine (only counts are given, no"
  echo "times). Per-frame figures of every run are in \`$out/SCENE-RUN/frames.csv\` (a row per view and frame)."
  echo
  echo "Each run culls every view every frame (the light first), each through a library view of its own (*views*) or"
  echo "all through the default view as a host without views must (*shared*, \`--views-shared 1\`), and culls each view"
  echo "alone too, in a run of its own from the same start (*alone*). Eyes are 6.4 cm apart at human scale; the second"
  echo "viewport walks the path backwards; the light's orthographic volume covers the camera's view volume and its"
  echo "shadow map is compared, texel by texel, with the map of every caster. *strict*: objects missed while above the"
  echo "threshold in this and the previous frame; *repeat*: missed two frames running. Queries and drawn are medians"
  echo "per frame; *÷ alone* is the walk's total over that of the view alone. Threshold 300 (texels for the light)"
  echo "unless the run says 0; frame coherency 4 on the level, 0 elsewhere (the demo's defaults)."
} > "$doc"

for scene in "${scenes[@]}"; do
  IFS='|' read -r name label args <<< "$scene"
  for item in "${runs[@]}"; do
    IFS='|' read -r tag extra <<< "$item"
    dir="$out/$name-$tag"
    if [ $run = 1 ]; then
      echo "views.sh: $label, $tag" >&2
      mkdir -p "$dir"
      # shellcheck disable=SC2086
      build/tools/kel_demo $args $extra --frames "$frames" --width "$width" --height "$height" --pictures 2 \
        --out "$dir" > "$dir.txt"
    fi
  done
  {
    echo
    echo "## $label"
    echo
    grep -s -m1 '^library memory' "$out/$name-stereo.txt" | sed 's/^library memory: /Library memory: /; s/$/ (left, right, light and the default view)./' || true
    echo
    echo "| run | view | queries | ÷ alone | drawn | ÷ alone | drawn ÷ visible | strict | repeat | shadow texels differing (frames) |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---|"
    for item in "${runs[@]}"; do
      IFS='|' read -r tag extra <<< "$item"
      csv="$out/$name-$tag/frames.csv"
      [ -f "$csv" ] || continue
      for v in $(awk -F, -v c="$view" 'NR > 1 && $c !~ /-alone$/ { print $c }' "$csv" | awk '!seen[$0]++'); do
        for which in alone run; do
          if [ $which = alone ]; then
            [ "${tag%-shared}" = "$tag" ] || continue   # the shared runs' alone rows repeat their own-view runs'
            row="$v-alone"; shown="$tag: alone"
          else
            row="$v"; shown="$tag"
          fi
          t=$(total "$row" $texels < "$csv")
          [ "$t" = "-" ] || t="$t ($(frames_with "$row" $texels < "$csv"))"
          echo "| $shown | $v | $(median "$row" $queries < "$csv") | $(ratio "$row" $queries "$v-alone" < "$csv") |" \
               "$(median "$row" $drawn < "$csv") | $(ratio "$row" $drawn "$v-alone" < "$csv") |" \
               "$(median "$row" $drawn $visible < "$csv") | $(total "$row" $late < "$csv") | $(total "$row" $repeats < "$csv") | $t |"
        done
      done
    done
    echo
    pictures=("$out/$name-stereo"/views-left-*.png)
    if [ -f "${pictures[0]}" ]; then
      cp "${pictures[0]}" "docs/views-$name.png"
      echo "![The left eye, shaded with the culled shadow map](views-$name.png)"
    fi
  } >> "$doc"
done
echo "views.sh: wrote $doc" >&2
