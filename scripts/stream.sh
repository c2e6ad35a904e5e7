#!/usr/bin/env bash
# Streams real models from packs in the three orders under two memory
# budgets, measures the levers one at a time, the orders over HTTP and a pack
# of about a million entries, and writes docs/streaming.md (with its
# figures, docs/streaming-*.png).
# Usage: scripts/stream.sh [--frames N] [--width W] [--height H] [--out DIR] [--no-million] [--report-only]
# --report-only rewrites the page from the runs already in DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=160
width=320
height=240
out=build/stream
million=1
usage="scripts/stream.sh [--frames N] [--width W] [--height H] [--out DIR] [--no-million] [--report-only]"
extra_option() { [ "$1" = --no-million ] && million=0; }
source scripts/measure-common.sh
mkdir -p "$out"
if [ $run = 1 ]; then
  scripts/install-deps.sh lighttpd
  build_for_measuring kel_demo kel_pack kel_model_info
fi
house="--model $assets/IFC/AC14-FZK-Haus.ifc"
# The settings of every streaming run, chosen from the levers below: every
# visible object drawn and every visible unloaded one reported (threshold
# 0), unloaded boxes kept out of the depth buffer so that they hide nothing
# behind them until they load, and the rest of a showing partition in view
# prefetched, so that a wall coming into view is there before it shows.
settings="--threshold 0 --report-threshold 0 --fill-depth 0 --prefetch 1"
# name|label|what kel_pack and kel_demo both take|what only kel_demo takes
models=(
  "house10|FZK-Haus, 10 x 10 neighbourhood|$house --grid 10|--walk-height 1.6"
  "house20|FZK-Haus, 20 x 20 neighbourhood|$house --grid 20|--walk-height 1.6"
  "engine|2CylinderEngine, 8 x 8 hall|--model $assets/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb --grid 8|"
  "level|oa_bases7 (corridors)|--model $maps/oa_bases7.bsp|"
)

# --- runs -------------------------------------------------------------------

unpacked() { sed -n 's/.* MB packed, \([0-9.]*\) MB unpacked.*/\1/p' "$out/$1.pack.txt"; }
budget() { awk -v u="$(unpacked "$1")" -v d="$2" 'BEGIN { printf "%.3g\n", u / d }'; }

pack() {  # name, kel_pack arguments
  local name=$1; shift
  echo "stream.sh: packing $name" >&2
  # shellcheck disable=SC2068
  build/tools/kel_pack $@ --out "$out/$name.kelpack" > "$out/$name.pack.txt"
}

demo() {  # run name, model name, kel_demo arguments
  local dir=$1 name=$2; shift 2
  echo "stream.sh: $dir" >&2
  # shellcheck disable=SC2068
  build/tools/kel_demo $@ --width "$width" --height "$height" --pictures 2 \
    --pack "$out/$name.kelpack" --truth "$out/$name.truth" --out "$out/$dir" > "$out/$dir.txt"
}

serve() {  # starts lighttpd on a free port over $out at 100 Mbit/s; sets $port and $server
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat > "$out/lighttpd.conf" <<EOF
server.document-root = "$(realpath "$out")"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$(realpath "$out")/lighttpd.log"
server.kbytes-per-second = 12500
mimetype.assign = ("" => "application/octet-stream")
EOF
  /usr/sbin/lighttpd -D -f "$out/lighttpd.conf" &
  server=$!
  trap 'kill "$server" 2>/dev/null || true' EXIT
  sleep 1
}

if [ $run = 1 ]; then
  for item in "${models[@]}"; do
    IFS='|' read -r name label both demoOnly <<< "$item"
    pack "$name" $both
    args="$both $demoOnly --frames $frames $settings"
    demo "$name-quarter" "$name" $args --stream occlusion,frustum,all --budget "$(budget "$name" 4)"
    demo "$name-tenth" "$name" $args --stream occlusion,frustum --budget "$(budget "$name" 10)"
  done

  # The levers, one at a time, on the 10 x 10 houses at a tenth.
  base="$house --grid 10 --walk-height 1.6 --frames $frames --stream occlusion --budget $(budget house10 10)"
  pack house10-tiles64 $house --grid 10 --partitions tiles:64
  lever() { local dir=$1; shift; demo "lever-$dir" house10 $base "$@"; }
  # One at a time from the chosen settings (a later option overrides an
  # earlier one).
  lever chosen $settings
  lever threshold20 $settings --threshold 20
  lever threshold300 $settings --threshold 300
  lever reports-follow $settings --threshold 20 --report-threshold 20
  lever fill-depth-on $settings --fill-depth 1
  lever no-prefetch $settings --prefetch 0
  lever coherency2 $settings --coherency 2
  lever contribution $settings --contribution 0.03
  lever nearest-first $settings --nearest-first 1
  lever prefetch-radius $settings --prefetch-radius 8
  demo lever-tiles64 house10-tiles64 $base $settings --partitions tiles:64

  # Over HTTP at 100 Mbit/s: what the time to the first complete view is
  # when reading costs what it costs across a network.
  serve
  build/tools/kel_demo $house --grid 10 --walk-height 1.6 --frames "$frames" $settings --stream occlusion,all \
    --budget "$(budget house10 10)" --width "$width" --height "$height" --pictures 0 \
    --pack "http://127.0.0.1:$port/house10.kelpack" --truth "$out/house10.truth" --out "$out/http" > "$out/http.txt"
  kill "$server"
  trap - EXIT

  # About a million entries, walked at eye height between the houses.
  if [ $million = 1 ]; then
    free=$(df --output=avail -BG "$out" | tail -1 | tr -dc 0-9)
    if [ "$free" -ge 4 ]; then
      pack house60 $house --grid 60
      awk 'BEGIN { for (f = 0; f < 40; ++f) printf "%.2f,0.6,%.2f,-45,0\n", 6 + 2.5 * f, -6 + 2.5 * f }' > "$out/walk60.csv"
      demo million house60 $house --grid 60 --path "$out/walk60.csv" --rest 10 $settings --stream occlusion --budget 64
    else
      echo "stream.sh: ${free}G free: too little for the million-entry pack; skipped" >&2
    fi
  fi
fi

# --- the page ---------------------------------------------------------------

# Column $2 of the rows of order $3 in frames.csv $1 (by the header's names),
# of the path only (warmup 0) unless $4 is "all".
column() {
  awk -F, -v name="$2" -v order="$3" -v rest="${4:-path}" '
    NR == 1 { for (i = 1; i <= NF; ++i) at[$i] = i; next }
    $at["mode"] == "streaming" && $at["order"] == order && (rest == "all" || $at["warmup"] == 0) { print $at[name] }' "$1"
}
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else printf "%.1f\n", v[int((NR + 1) / 2)] }'; }
# Field $2 of the stream_summary line of order $3 in $1.
field() { sed -n "s/^stream_summary: order=$3 .*$2=\([^ ]*\).*/\1/p" "$1"; }
# The first complete view: its frame of the rest, the time from the start of
# the run to its end, and the MB read by then.
complete() {
  local frame; frame=$(field "$1.txt" frames_to_complete "$2")
  if [ "$frame" = "-" ] || [ -z "$frame" ]; then echo "-"; return; fi
  awk -F, -v order="$2" -v f="$frame" '
    NR == 1 { for (i = 1; i <= NF; ++i) at[$i] = i; next }
    $at["order"] == order && $at["warmup"] == 1 && $at["frame"] < f { read += $at["read_mb"] }
    $at["order"] == order && $at["warmup"] == 1 && $at["frame"] == f - 1 { ms = $at["elapsed_ms"] }
    END { printf "%d / %.0f / %.1f\n", f, ms, read }' "$1/frames.csv"
}
row() {  # run directory, label, order
  local run=$out/$1 order=$3
  [ -f "$run.txt" ] || return 0
  grep -q "order=$order " "$run.txt" || return 0
  echo "| $2 | $order | $(field "$run.txt" budget_mb "$order") | $(field "$run.txt" peak_resident_mb "$order") |" \
       "$(field "$run.txt" read_mb "$order") | $(complete "$run" "$order") |" \
       "$(field "$run.txt" hole_pct_mean "$order") | $(field "$run.txt" hole_pct_p95 "$order") |" \
       "$(field "$run.txt" evictions "$order") | $(column "$run/frames.csv" frame_ms "$order" | median) |" \
       "$(field "$run.txt" lib_cpu_ms "$order") |"
}
header() {
  echo "| run | order | budget MB | peak resident MB | MB read | first complete view: frame / ms / MB read | hole % mean | hole % p95 | evictions | median frame ms | library CPU ms |"
  echo "|---|---|---:|---:|---:|---|---:|---:|---:|---:|---:|"
}

# Each measured part is a block of docs/streaming.md between the lines
# <!-- stream.sh:NAME --> and <!-- /stream.sh:NAME -->; the words around them
# are written by hand.
blocks=$out/blocks
mkdir -p "$blocks"
{
  echo "Written by \`scripts/stream.sh --frames $frames --width $width --height $height\` on $(date -u +%Y-%m-%d), OpenGL on"
  echo "llvmpipe, packs on the local disk (in the page cache after the first read), settings \`$settings\`."
  echo
  header
  for item in "${models[@]}"; do
    IFS='|' read -r name label both demoOnly <<< "$item"
    for order in occlusion frustum all; do row "$name-quarter" "$label, ¼" $order; done
    for order in occlusion frustum; do row "$name-tenth" "$label, ⅒" $order; done
  done
  echo
  for item in "${models[@]}"; do
    IFS='|' read -r name label both demoOnly <<< "$item"
    if [ -f "$out/$name.pack.txt" ]; then echo "- $label: \`$(sed 's|^kel_pack: [^:]*: ||' "$out/$name.pack.txt")\`"; fi
  done
  for name in house10 house20; do
    if [ -f "$out/$name-tenth/stream.png" ]; then
      cp "$out/$name-tenth/stream.png" "docs/streaming-$name.png"
      echo
      echo "![Resident MB and hole % per frame, $name at a tenth](streaming-$name.png)"
    fi
  done
} > "$blocks/orders"
{
  echo "Command: \`build/tools/kel_demo $house --grid 10 --walk-height 1.6 --frames $frames --width $width --height $height"
  echo "--stream occlusion --budget $(budget house10 10) LEVERS\` (tiles64: its own pack, written with \`--partitions tiles:64\`)."
  echo
  header
  for lever in chosen threshold20 threshold300 reports-follow fill-depth-on no-prefetch coherency2 contribution \
               nearest-first prefetch-radius tiles64; do
    row "lever-$lever" "$lever" occlusion
  done
} > "$blocks/levers"
{
  header
  for order in occlusion all; do row http "houses over HTTP" $order; done
} > "$blocks/http"
{
  if [ -f "$out/million.txt" ]; then
    echo "- pack: \`$(sed 's|^kel_pack: [^:]*: ||' "$out/house60.pack.txt")\`"
    echo "- opened: \`$(grep '^pack ' "$out/million.txt" | sed 's|^pack [^:]*: ||')\`"
    echo "- \`$(grep '^library: ' "$out/million.txt")\`"
    echo
    header
    row million "60 x 60 houses" occlusion
  else
    echo "Not measured in this run (\`--no-million\`, or too little disk)."
  fi
} > "$blocks/million"

doc=docs/streaming.md
awk -v dir="$blocks" '
  /^<!-- stream\.sh:[a-z]+ -->$/ { print; name = $0; sub(/^<!-- stream\.sh:/, "", name); sub(/ -->$/, "", name)
    while ((getline line < (dir "/" name)) > 0) print line; skipping = 1; next }
  /^<!-- \/stream\.sh:[a-z]+ -->$/ { skipping = 0 }
  !skipping { print }' "$doc" > "$doc.new"
mv "$doc.new" "$doc"
echo "stream.sh: wrote $doc" >&2
