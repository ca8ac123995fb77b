#!/bin/sh
# The library's components include each other in one direction only: the
# records and the store (which read and write each other) are the one pair
# allowed to form a cycle. A component is a file name without extension, so
# a header and its source count as one.
set -eu
root="$1"
allowed="QVIMDataAccessLayer QVIMEventAbstraction"
find "$root" \( -name '*.h' -o -name '*.cpp' \) -exec awk -v allowed="$allowed" '
function base(path) { sub(/.*\//, "", path); sub(/\.[^.]*$/, "", path); return path }
FNR == 1 { node = base(FILENAME); known[node] = 1 }
/^[ \t]*#[ \t]*include[ \t]*"/ {
    target = $0
    sub(/^[^"]*"/, "", target); sub(/".*/, "", target)
    wanted[node, base(target)] = 1
}
END {
    n = 0
    for (v in known) names[++n] = v
    for (k in wanted) {
        split(k, pair, SUBSEP)
        if (pair[1] in known && pair[2] in known && pair[1] != pair[2]) reach[pair[1], pair[2]] = edge[pair[1], pair[2]] = 1
    }
    # Transitive closure; the graph has a few dozen nodes.
    for (m = 1; m <= n; m++) for (i = 1; i <= n; i++) if ((names[i], names[m]) in reach)
        for (j = 1; j <= n; j++) if ((names[m], names[j]) in reach) reach[names[i], names[j]] = 1
    status = 0
    for (i = 1; i <= n; i++) {
        a = names[i]
        if (a in done) continue
        members = a; size = 1
        for (j = 1; j <= n; j++) {
            b = names[j]
            if (b != a && (a, b) in reach && (b, a) in reach) { members = members " " b; size++; done[b] = 1 }
        }
        if (size == 1) continue
        split(members, list, " ")
        ok = size == 2 && index(" " allowed " ", " " list[1] " ") && index(" " allowed " ", " " list[2] " ")
        if (ok) continue
        status = 1
        print "include cycle: " members
        for (x = 1; x <= size; x++) for (y = 1; y <= size; y++)
            if ((list[x], list[y]) in edge) print "  " list[x] " -> " list[y]
    }
    if (status == 0) print "no include cycle beyond the records and the store"
    exit status
}' {} +
