# Timing helpers for the benchmark scripts, sourced after they set `work` (a scratch
# folder) and fill the associative array `commands` (name to command line).

# Seconds and peak resident KiB of one run; exits when the command fails.
measure() {
    local start=$EPOCHREALTIME
    # shellcheck disable=SC2086 # split on purpose
    if ! /usr/bin/time -f "%M" -o "$work/time" $1 >/dev/null 2>"$work/stderr"; then
        echo "failed: $1" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    local end=$EPOCHREALTIME
    echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }') $(tail -n 1 "$work/time")"
}

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# run ROUNDS NAME...: runs the commands one after another, ROUNDS times over.
declare -A times peaks
run() {
    local rounds=$1 name seconds kib
    shift
    for ((round = 0; round < rounds; round++)); do
        for name in "$@"; do
            read -r seconds kib < <(measure "${commands[$name]}")
            times[$name]+="$seconds "
            peaks[$name]=$((${peaks[$name]:-0} > kib ? ${peaks[$name]:-0} : kib))
        done
    done
}

