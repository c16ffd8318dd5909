# Shared helpers for the row scripts in bench/rows/.

# seconds COMMAND...: wall time of one run, in seconds with milliseconds.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    printf '%.3f\n' "$(echo "scale=3; ($end - $start) / 1000000000" | bc)"
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

# settle FILE...: flushes what earlier runs wrote, so that its writing back does not slow the
# next run, and reads FILE... into the page cache, where a job finds files it was just given.
settle() {
    sync
    cat "$@" >/dev/null
}

# median NUMBER...: the middle one of an odd count of numbers.
median() {
    printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"
}

# race CLEAN OURS PLAIN INPUT...: runs the commands OURS and PLAIN three times each, taking
# turns, each after CLEAN and settle INPUT...; prints the median seconds of OURS, then of PLAIN.
race() {
    # No names of its own beyond these two: the commands may use any other (bash scopes
    # variables dynamically).
    local race_ours=() race_plain=()
    for _ in 1 2 3; do
        $1
        settle "${@:4}"
        race_ours+=("$(seconds "$2")")
        $1
        settle "${@:4}"
        race_plain+=("$(seconds "$3")")
    done
    echo "$(median "${race_ours[@]}") $(median "${race_plain[@]}")"
}

# row WHAT OURS PLAIN PLAIN-NAME TARGET RSS: one line of the table, from times in seconds.
row() {
    printf '%s\t%s s\t%s %s s\t%sx\t%s\t%s MiB\n' "$1" "$2" "$4" "$3" "$(ratio "$3" "$2")" "$5" "$6"
}
