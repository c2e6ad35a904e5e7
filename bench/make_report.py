#!/usr/bin/env python3
"""Turns the benchmark results in a folder into report.md and plots.

Usage: bench/make_report.py RESULTS_DIR (written by scripts/bench.sh)."""
import csv
import glob
import json
import math
import os
import re
import shutil
import subprocess
import sys

SIZES = [10000, 100000, 1000000]


def load_benchmarks(folder):
    runs = {}
    context = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        with open(path) as handle:
            data = json.load(handle)
        context = data.get("context", context)
        for bench in data.get("benchmarks", []):
            if bench.get("error_occurred"):
                continue
            if bench.get("run_type", "iteration") == "iteration":
                runs.setdefault(bench["name"], bench)
            elif bench.get("aggregate_name") == "median":
                # Repeated runs: the median of each figure stands for the run.
                runs[bench["run_name"]] = dict(bench, name=bench["run_name"])
    return runs, context


def find(runs, prefix, size=None):
    for name, bench in runs.items():
        if not name.startswith(prefix):
            continue
        if size is None or re.search(r"(/|:)%d(/|$)" % size, name):
            return bench
    return None


def fmt(value, digits=3):
    if value is None:
        return "–"
    if isinstance(value, str):
        return value
    if value == 0:
        return "0"
    magnitude = abs(value)
    if magnitude >= 1e6:
        return "%.2fM" % (value / 1e6)
    if magnitude >= 1e4:
        return "%.1fk" % (value / 1e3)
    if magnitude >= 100:
        return "%.0f" % value
    return ("%%.%dg" % digits) % value


def counter(bench, key):
    return None if bench is None else bench.get(key)


def table(headers, rows):
    lines = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
    for row in rows:
        lines.append("| " + " | ".join(fmt(cell) for cell in row) + " |")
    return "\n".join(lines) + "\n"


def read_frames(path):
    modes = {}
    if not os.path.exists(path):
        return modes
    with open(path) as handle:
        for row in csv.DictReader(handle):
            if row.get("warmup") == "1":
                continue
            modes.setdefault(row["mode"], []).append(row)
    return modes


def percentile(values, fraction):
    if not values:
        return None
    values = sorted(values)
    rank = min(max(int(math.ceil(fraction * len(values))), 1), len(values))
    return values[rank - 1]


def partition_table(runs):
    rows = []
    for size in SIZES:
        add = find(runs, "BM_AddEntry/", size)
        if add is None:
            continue
        update = find(runs, "BM_UpdateEntryTenthPerFrame/", size)
        first = find(runs, "BM_FirstFrameAfterBulkLoad/", size)
        split = find(runs, "BM_SplitEverything/", size)
        walk = find(runs, "BM_TraverseFrustumVsLoop/", size)
        rows.append([counter(add, "entries"), counter(add, "entries_per_second"),
                     update and update["real_time"], counter(update, "updates_per_second"),
                     counter(first, "first_frame_ms"), counter(first, "second_frame_ms"), counter(first, "splits_ms"),
                     split and split["real_time"], counter(walk, "walk_ms"), counter(walk, "loop_ms"),
                     counter(walk, "walk_to_loop")])
    return table(["entries", "AddEntry /s", "UpdateEntry 10% ms/frame", "updates /s", "first frame ms",
                  "second frame ms", "splits ms", "split everything ms", "frustum walk ms", "plain loop ms",
                  "walk / loop"], rows)


def culling_rows(runs):
    """(label, size, bench) for the three clients at the fixed view."""
    rows = []
    for label, prefix in (("all visible", "BM_CullingFrame/entries:%d/answer:1000/"),
                          ("all hidden", "BM_CullingFrame/entries:%d/answer:0/"),
                          ("visible within 150 units", "BM_CullingFrame/entries:%d/answer:-150/"),
                          ("OpenGL (llvmpipe)", "BM_CullingFrameGL/entries:%d/")):
        for size in SIZES:
            bench = next((b for n, b in runs.items() if n.startswith(prefix % size)), None)
            if bench is not None:
                rows.append((label, size, bench))
    return rows


def culling_table(runs):
    rows = []
    for label, _, bench in culling_rows(runs):
        gl = "GL" in bench["name"]
        rows.append([label, counter(bench, "entries"), counter(bench, "library_ms"),
                     counter(bench, "library_own_timer_ms") if gl else counter(bench, "library_timed_ms"),
                     counter(bench, "client_ms") if gl else counter(bench, "client_est_ms"),
                     counter(bench, "client_calls"), counter(bench, "loop_ms"), counter(bench, "library_to_loop"),
                     counter(bench, "queries"), counter(bench, "drawn")])
    return table(["client", "entries", "library ms", "library ms (other timing)", "client ms", "client calls",
                  "plain loop ms", "library / loop", "queries", "drawn"], rows)


def growth(runs):
    """1M / 100k ratio of the library's time and the log-log slope per client."""
    out = []
    by_client = {}
    for label, size, bench in culling_rows(runs):
        by_client.setdefault(label, {})[size] = bench
    for label, sizes in by_client.items():
        if 100000 in sizes and 1000000 in sizes:
            t0, t1 = counter(sizes[100000], "library_ms"), counter(sizes[1000000], "library_ms")
            n0, n1 = counter(sizes[100000], "entries"), counter(sizes[1000000], "entries")
            slope = math.log(t1 / t0) / math.log(n1 / n0) if t0 and t1 else None
            out.append((label, t1 / t0 if t0 else None, n1 / n0, slope))
    return out


def plot_scaling(folder, runs):
    if shutil.which("gnuplot") is None:
        return None
    data = os.path.join(folder, "scaling.dat")
    by_client = {}
    loop = {}
    for label, size, bench in culling_rows(runs):
        by_client.setdefault(label, []).append((counter(bench, "entries"), counter(bench, "library_ms")))
        loop[counter(bench, "entries")] = counter(bench, "loop_ms")
    with open(data, "w") as handle:
        for label, points in by_client.items():
            handle.write("# %s\n" % label)
            for entries, ms in points:
                handle.write("%g %g\n" % (entries, max(ms, 1e-6)))
            handle.write("\n\n")
        handle.write("# plain loop\n")
        for entries in sorted(loop):
            handle.write("%g %g\n" % (entries, loop[entries]))
    png = os.path.join(folder, "scaling.png")
    plots = ['"%s" index %d with linespoints lw 2 pt 7 title "%s"' % (data, i, label)
             for i, label in enumerate(by_client)]
    plots.append('"%s" index %d with linespoints lw 2 dt 2 pt 5 title "plain per-entry frustum loop"'
                 % (data, len(by_client)))
    plots.append('x*1e-5 with lines lc rgb "gray" dt 3 title "linear (slope 1)"')
    script = "\n".join([
        'set terminal pngcairo size 900,600' if "pngcairo" in terminals() else 'set terminal png size 900,600',
        'set output "%s"' % png, "set logscale xy", 'set xlabel "entries"', 'set ylabel "ms per frame"',
        'set title "Library own time per EndCulling at a fixed street view (city)"', "set key left top",
        "set grid", "set xrange [5000:2e6]", 'set format x "%.0s%c"', "plot " + ", ".join(plots)])
    subprocess.run(["gnuplot"], input=script.encode(), check=False)
    return "scaling.png"


def terminals():
    result = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True, check=False)
    return result.stdout + result.stderr


def walk_summary(folder, scene):
    modes = read_frames(os.path.join(folder, "walk-%s" % scene, "frames.csv"))
    if not modes:
        return None, {}
    stats = {}
    for mode, rows in modes.items():
        frame = [float(r["frame_ms"]) for r in rows]
        visible = [int(r["visible"]) for r in rows]
        drawn = [int(r["drawn"]) for r in rows]
        queries = [int(r["queries"]) for r in rows]
        library = [float(r["library_ms"]) for r in rows]
        per_visible = [q / v for q, v in zip(queries, visible) if v > 0]
        stats[mode] = dict(frame_median=percentile(frame, 0.5), frame_p95=percentile(frame, 0.95),
                           drawn=percentile(drawn, 0.5), visible=percentile(visible, 0.5),
                           drawn_per_visible=percentile([d / v for d, v in zip(drawn, visible) if v > 0], 0.5),
                           missed_checked=percentile([int(r["missed_checked"]) for r in rows], 0.5),
                           queries=percentile(queries, 0.5), queries_per_visible=percentile(per_visible, 0.5),
                           library=percentile(library, 0.5))
    rows = []
    base = stats.get("draw-all", {}).get("frame_median")
    oracle = stats.get("oracle", {}).get("frame_median")
    for mode in ("draw-all", "frustum", "library", "oracle"):
        if mode not in stats:
            continue
        s = stats[mode]
        lib = mode == "library"
        rows.append([mode, s["frame_median"], s["frame_p95"], s["frame_median"] / oracle if oracle else None,
                     s["frame_median"] / base if base else None, s["drawn"], s["visible"], s["drawn_per_visible"],
                     s["missed_checked"] if lib else None, s["queries"] if lib else None,
                     s["queries_per_visible"] if lib else None, s["library"] if lib else None])
    text = table(["mode", "frame ms median", "frame ms p95", "/ oracle", "/ draw-all", "drawn", "visible (truth)",
                  "drawn / visible", "missed > threshold", "queries", "queries / visible object",
                  "library own ms"], rows)
    return text, stats


def profile_top(folder, tag, kind, count=10, library_only=True):
    path = os.path.join(folder, "profile-%s-%s.txt" % (tag, kind))
    if not os.path.exists(path):
        return None
    lines = []
    header = None
    with open(path) as handle:
        for line in handle:
            if header is None and line.startswith("Ir") or (header is None and line.strip().startswith("Ir ")):
                header = line.rstrip()
            if "PROGRAM TOTALS" in line:
                lines.append(line.rstrip()[:230])
                continue
            if not re.match(r"^\s*[\d,]+", line) or "???:" not in line and ":" not in line:
                continue
            if library_only and "libKELScreenSpacePartitioning" not in line:
                continue
            # Drop the library path for width.
            lines.append(re.sub(r"\s*\[[^\]]*libKELScreenSpacePartitioning[^\]]*\]", "", line.rstrip())[:230])
            if len(lines) > count:
                break
    return "```\n" + ((header + "\n") if header else "") + "\n".join(lines) + "\n```\n"


def goal(met, text):
    return "- **%s** — %s" % ("met" if met else "missed", text)


def goal_lines(runs, walk_city):
    goals = []
    gl_walk = find(runs, "BM_WalkthroughGL/entries:1000000/frames:120/arena:0")
    if gl_walk:
        total, median = counter(gl_walk, "library_to_loop_total"), counter(gl_walk, "library_to_loop_median")
        goals.append(goal(total <= 0.10, "library's own time on the 1M-entry city walk with the OpenGL client is "
                          "%.1f%% of the plain per-entry frustum loop over the same frames (median frame: %.1f%%; "
                          "goal at most 10%%)" % (100 * total, 100 * median)))
    gl_fixed = find(runs, "BM_CullingFrameGL/entries:1000000/")
    if gl_fixed:
        ratio = counter(gl_fixed, "library_to_loop")
        goals.append(goal(ratio <= 0.10, "the same at the fixed street view: %.1f%% of the loop" % (100 * ratio)))
    for label, ratio, entries_ratio, slope in growth(runs):
        if ratio is not None:
            goals.append(goal(ratio < 10, "%s: 1M entries cost %.2f× the 100k case (entries ×%.2f, log-log slope "
                              "%.2f; goal below 10×)" % (label, ratio, entries_ratio, slope)))
    steady = [b for n, b in runs.items() if n.startswith("BM_SteadyFrameAllocations")]
    if steady:
        worst_alloc = max(counter(b, "allocator_calls_per_frame") for b in steady)
        worst_heap = max(counter(b, "heap_calls_per_frame") for b in steady)
        goals.append(goal(worst_alloc == 0 and worst_heap == 0, "steady-state frames: at most %g allocator calls and "
                          "%g heap calls per frame over %d configurations (goal 0)" % (worst_alloc, worst_heap,
                                                                                       len(steady))))
    add = find(runs, "BM_AddEntry/", 1000000) or find(runs, "BM_AddEntry/", 100000)
    if add:
        rate = counter(add, "entries_per_second")
        goals.append(goal(rate >= 5e6, "bulk AddEntry: %.1f million per second at %s entries (goal at least 5 "
                          "million, %.1f× the goal)" % (rate / 1e6, fmt(counter(add, "entries")), rate / 5e6)))
    if walk_city and all(m in walk_city for m in ("library", "oracle", "draw-all")):
        lib = walk_city["library"]["frame_median"]
        oracle = walk_city["oracle"]["frame_median"]
        everything = walk_city["draw-all"]["frame_median"]
        goals.append(goal(lib <= 1.5 * oracle, "city walk, OpenGL client: library mode's median frame is %.2f× the "
                          "oracle's (%.2f ms vs %.2f ms; goal at most 1.5×)" % (lib / oracle, lib, oracle)))
        goals.append(goal(lib <= everything / 5, "city walk: library mode's median frame is %.3f of draw-everything's "
                          "(%.2f ms vs %.2f ms; goal at most 0.2)" % (lib / everything, lib, everything)))
    return "\n".join(goals) + "\n"


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "bench/results"
    runs, context = load_benchmarks(folder)
    out = ["# Benchmark report\n"]
    machine = os.path.join(folder, "machine.txt")
    if os.path.exists(machine):
        out.append("```\n" + open(machine).read() + "```\n")
    out.append("Benchmark library build: %s (Debian's package; it times nothing of ours: every figure here is taken "
               "with the cycle counter around the library's calls). CPU scaling: %s. Figures of benchmarks run three "
               "times are the medians of the three.\n" % (context.get("library_build_type", "?"),
                                                         context.get("cpu_scaling_enabled", "?")))
    walk_city_text, walk_city = walk_summary(folder, "city")
    out.append("## Goals\n\n" + goal_lines(runs, walk_city))
    out.append("\n## World partition\n\n" + partition_table(runs))
    out.append("\n## Culling frame at a fixed street view\n\n" + culling_table(runs))
    rows = [[label, ratio, entries_ratio, slope] for label, ratio, entries_ratio, slope in growth(runs)]
    out.append("\nGrowth from 100k to 1M entries:\n\n" + table(["client", "time 1M / 100k", "entries 1M / 100k",
                                                                 "log-log slope"], rows))
    plot = plot_scaling(folder, runs)
    if plot:
        out.append("\n![scaling](%s)\n" % plot)
    walks = [b for n, b in runs.items() if n.startswith("BM_WalkthroughGL")]
    if walks:
        rows = [[counter(b, "entries"), "arena" if "arena:1" in b["name"] else "C heap", counter(b, "frames"),
                 counter(b, "library_median_ms"),
                 counter(b, "library_p95_ms"), counter(b, "loop_median_ms"), counter(b, "library_to_loop_median"),
                 counter(b, "library_to_loop_total"), counter(b, "frame_median_ms"), counter(b, "queries"),
                 counter(b, "drawn")] for b in walks]
        out.append("\n## City walk with the OpenGL client, library against the plain loop\n\n" + table(
            ["entries", "records from", "frames", "library ms median", "library ms p95", "plain loop ms median",
             "library / loop (median frame)", "library / loop (all frames)", "frame ms median", "queries",
             "drawn"], rows))
    queries = [b for n, b in runs.items() if n.startswith("BM_ClientQueries")]
    if queries:
        rows = [[re.search(r"queries:(\d+)", b["name"]).group(1),
                 "each waited for" if "wait:1" in b["name"] else "after the frame",
                 counter(b, "us_per_query"), counter(b, "cpu_us_per_query")] for b in queries]
        out.append("\n## One occlusion query in the OpenGL client (goal: at most 10 µs)\n\n" +
                   table(["queries a frame", "results", "µs per query", "processor µs per query"], rows))
    empty = [b for n, b in runs.items() if n.startswith("BM_EmptyFrame")]
    if empty:
        rows = [["line buffered" if "line_buffered:1" in b["name"] else "fully buffered", b["real_time"]]
                for b in empty]
        out.append("\n## Statistics printing (EndCulling without partitions, stdout to /dev/null)\n\n" +
                   table(["stdout", "µs per frame"], rows))
    rows = []
    for name, b in runs.items():
        if name.startswith("BM_SteadyFrameAllocations"):
            rows.append([name.split("/")[1] + " " + name.split("/")[2] + " " + name.split("/")[3],
                         counter(b, "allocator_calls_per_frame"), counter(b, "heap_calls_per_frame"),
                         counter(b, "frames")])
    memory = find(runs, "BM_MemoryPerEntry")
    out.append("\n## Allocation audit\n\n" + table(["configuration", "allocator calls / frame", "heap calls / frame",
                                                     "frames"], rows))
    if memory:
        out.append("\nMemory at %s entries: %.1f bytes per entry on the heap (%.1f MiB), %.1f bytes per entry "
                   "through the allocator, %.2f allocator calls per entry.\n" % (
                       fmt(counter(memory, "entries")), counter(memory, "heap_bytes_per_entry"),
                       counter(memory, "heap_mib"), counter(memory, "allocator_bytes_per_entry"),
                       counter(memory, "allocator_calls_per_entry")))
    views = find(runs, "BM_ViewMemoryPerEntry/entries:1000000/views:4")
    if views:
        out.append("\nViews: three views beside the default add %.1f bytes per entry through the allocator, "
                   "%.1f bytes per entry for each (8 per entry record, 12 per zone record).\n" % (
                       counter(views, "view_bytes_per_entry"), counter(views, "bytes_per_entry_per_extra_view")))
    for scene in ("city", "plant"):
        text, _ = walk_summary(folder, scene)
        if text:
            out.append("\n## Walkthrough: %s (kel_demo)\n\n" % scene + text)
            header = os.path.join(folder, "walk-%s.txt" % scene)
            if os.path.exists(header):
                out.append("\n`%s`\n" % open(header).readline().strip())
            out.append("\n![%s walk](walk-%s/plot.png)\n" % (scene, scene))
    for tag, title in (("street-visible", "all visible at the street view (the most library work per frame)"),
                       ("walk-near", "the city walk, visible within 150 units, host loop before each frame, "
                                     "cache model 48 KiB D1 / 32 MiB LL")):
        run = os.path.join(folder, "profile-%s-run.txt" % tag)
        if not os.path.exists(run):
            continue
        out.append("\n## Profile: %s\n\n`%s`\n" % (title, open(run).read().strip().replace("\n", " | ")))
        for kind in ("inclusive", "self", "misses"):
            top = profile_top(folder, tag, kind)
            if top:
                out.append("\n%s (library functions only, callgrind, inside the profiled frames):\n\n" % kind + top)
    with open(os.path.join(folder, "report.md"), "w") as handle:
        handle.write("\n".join(out))


if __name__ == "__main__":
    main()
