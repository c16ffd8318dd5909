# Shared helpers for the row scripts in bench/rows/.

# seconds COMMAND...: wall time of one run, in seconds with milliseconds.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / 1000000000" | bc
}

# peak_rss_mib COMMAND...: the peak resident memory of one run, in MiB.
peak_rss_mib() {
    local out kb
    out=$(mktemp)
    /usr/bin/time -f '%M' -o "$out" "$@" >/dev/null 2>&1
    kb=$(tail -n1 "$out")
    rm -f "$out"
    echo "scale=1; $kb / 1024" | bc
}

# ratio A B: A divided by B, two decimals.
ratio() {
    printf '%.2f' "$(echo "scale=4; $1 / $2" | bc)"
}

# random_file PATH MIB: a file of random bytes.
random_file() {
    head -c "$(($2 * 1024 * 1024))" /dev/urandom >"$1"
}

# drop_caches: evens out the page cache between the timed runs, where allowed.
drop_caches() {
    sync
    echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true
}
