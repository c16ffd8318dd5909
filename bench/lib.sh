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

# fill FILE MIB DIR...: FILE of MIB MiB, the files under DIR... end to end, over again as needed.
fill() {
    local file=$1 bytes=$(($2 * 1048576)) have=0
    shift 2
    : >"$file"
    while [ "$have" -lt "$bytes" ]; do
        find "$@" -type f -size +4k -print0 2>/dev/null | sort -z | xargs -0 cat 2>/dev/null |
            head -c $((bytes - have)) >>"$file" || :
        [ "$(stat -c %s "$file")" -gt "$have" ] || { echo "bench: no files under $*" >&2; exit 1; }
        have=$(stat -c %s "$file")
    done
}

# firmware_tree MIB: fw/ of MIB MiB like a release's: a root file system image of system files
# with free space at its end (three quarters of it, an eighth of that free), a kernel-sized file
# of program code and a few small files.
firmware_tree() {
    local rootfs=$(($1 * 3 / 4))
    rm -rf fw && mkdir fw
    fill fw/scanner.rootfs.ext4 $((rootfs * 7 / 8)) /usr/lib /usr/share
    head -c $(((rootfs - rootfs * 7 / 8) * 1048576)) /dev/zero >>fw/scanner.rootfs.ext4
    fill fw/Image $(($1 - rootfs - 2)) /usr/bin /usr/sbin /usr/libexec
    head -c 65536 /dev/urandom >fw/board.dtb
    head -c 1048576 /dev/urandom >fw/uboot.bin
    head -c 524288 /dev/urandom >fw/520M0App.bin
    head -c 262144 /dev/urandom >fw/rpmsg_fw.bin
    printf '#!/bin/sh\nexec /usr/bin/scanner-app "$@"\n' >fw/scanner-app.sh
}
