# bench/compare's table. Each input line is a side ("rev" or "tree") and a benchmark's last line,
# "figures files=N key=value ..." or "share delay_us=D files=N key=value ...", one line a run.
# A side keeps the best (least) of each figure over its runs, -1 (a benchmark left out) aside;
# ratios are of the bests, as bench/run's. A figure that a side lacks, which an older commit's
# benchmark may, is n/a.
#   awk -v rev='HEAD~3 (1a2b3c4)' -f bench/compare.awk LINES
function value(side, group, key) {
    return (side, group, key) in best ? best[side, group, key] : ""
}
function ratio(side, group, over, under,    a, b) {
    a = value(side, group, over)
    b = value(side, group, under)
    return a == "" || b == "" || b == 0 ? "" : a / b
}
function shown(x, format) { return x == "" ? "n/a" : sprintf(format, x) }
function row(label, a, b, format) {
    ++rows
    label_of[rows] = label
    rev_of[rows] = shown(a, format)
    tree_of[rows] = shown(b, format)
    change_of[rows] = a == "" || b == "" || a == 0 ? "n/a" : sprintf("%+.1f", (b / a - 1) * 100)
    if (change_of[rows] == "-0.0")
        change_of[rows] = "+0.0"
}
function both(group, label, over, under, format) {
    row(label, ratio("rev", group, over, under), ratio("tree", group, over, under), format)
}
function plain(group, label, key, format) {
    row(label, value("rev", group, key), value("tree", group, key), format)
}
function mib(side, group) {
    return value(side, group, "peak_rss_kib") == "" ? "" : value(side, group, "peak_rss_kib") / 1024
}
{
    side = $1
    kind = $2
    delete pair
    for (i = 3; i <= NF; ++i) {
        split($i, kv, "=")
        pair[kv[1]] = kv[2]
    }
    group = kind " " pair["delay_us"] " " pair["files"]
    if (!(group in seen)) {
        seen[group] = 1
        groups[++ngroups] = group
        kind_of[group] = kind
        files_of[group] = pair["files"]
        delay_of[group] = pair["delay_us"]
    }
    for (key in pair) {
        if (key == "files" || key == "delay_us" || pair[key] !~ /^[0-9.]+([eE][-+]?[0-9]+)?$/)
            continue
        if (!((side, group, key) in best) || pair[key] + 0 < best[side, group, key])
            best[side, group, key] = pair[key] + 0
    }
}
END {
    for (g = 1; g <= ngroups; ++g) {
        group = groups[g]
        if (kind_of[group] == "share") {
            both(group, sprintf("share %.1f ms, %d files: drop to prompt / 32 in flight",
                delay_of[group] / 1000, files_of[group]), "drop_to_prompt_ms", "in_flight_32_ms", "%.2f")
            continue
        }
        n = files_of[group] " files: "
        plain(group, n "baseline ms", "baseline_ms", "%.2f")
        both(group, n "core/baseline", "core_ms", "baseline_ms", "%.2f")
        both(group, n "drop/baseline", "drop_ms", "baseline_ms", "%.2f")
        both(group, n "core/baseline, CPU", "core_cpu_ms", "baseline_cpu_ms", "%.2f")
        both(group, n "drop/baseline, CPU", "drop_cpu_ms", "baseline_cpu_ms", "%.2f")
        plain(group, n "taking the paths ms", "drop_paths_ms", "%.2f")
        plain(group, n "saving the report ms", "drop_save_ms", "%.2f")
        row(n "peak RSS MiB", mib("rev", group), mib("tree", group), "%.1f")
    }
    label_of[0] = "figure"
    rev_of[0] = rev
    tree_of[0] = "this tree"
    change_of[0] = "change %"
    for (r = 0; r <= rows; ++r) {
        if (length(label_of[r]) > w1) w1 = length(label_of[r])
        if (length(rev_of[r]) > w2) w2 = length(rev_of[r])
        if (length(tree_of[r]) > w3) w3 = length(tree_of[r])
        if (length(change_of[r]) > w4) w4 = length(change_of[r])
    }
    for (r = 0; r <= rows; ++r)
        printf "%-*s  %*s  %*s  %*s\n", w1, label_of[r], w2, rev_of[r], w3, tree_of[r], w4, change_of[r]
}
