#!/usr/bin/env bash
# How generation behaves on a busy desktop: the same generation alone and
# beside one CPU-bound process (stress-ng --cpu 1 where installed, else a
# shell busy loop), with the compute threads' passive waiting (what the
# programs do) and, for comparison, with libgomp's default spinning
# (GOMP_SPINCOUNT=300000); then the window driven through a generation beside
# the busy process, reporting how long it kept input waiting.
#
#   tests/slow/busy_desktop.sh [--tiny] [MODEL_DIR [STEPS]]
#
# Without MODEL_DIR a full-size random-weight model is written to a
# temporary folder (2.1 GB, removed afterwards) and run for 20 steps;
# --tiny uses the tiny model and 2 steps. Each figure is the median of
# REPEAT runs (default 3, 1 at full size). Run it on an otherwise quiet
# machine; it prints `uptime` and the processor first.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${DRAVELIN_BIN:-build/bin}

tiny=false
if [ "${1:-}" = "--tiny" ]; then
    tiny=true
    shift
fi
work=$(mktemp -d)
busy_pid=
cleanup() {
    [ -n "$busy_pid" ] && kill "$busy_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

model=${1:-}
if [ -z "$model" ]; then
    model=$work/Model
    if $tiny; then
        "$bin/dravelin-make-model" "$model" --tiny >/dev/null
    else
        "$bin/dravelin-make-model" "$model" --full-size >/dev/null
    fi
fi
if $tiny; then
    steps=${2:-2}
    repeat=${REPEAT:-3}
else
    steps=${2:-20}
    repeat=${REPEAT:-1}
fi

start_busy() {
    if command -v stress-ng >/dev/null; then
        stress-ng --cpu 1 --quiet &
    else
        sh -c 'while :; do :; done' &
    fi
    busy_pid=$!
    sleep 1
}
stop_busy() {
    kill "$busy_pid" 2>/dev/null || true
    wait "$busy_pid" 2>/dev/null || true
    busy_pid=
}

# Median wall-clock seconds of REPEAT generations; extra arguments are
# environment assignments for the program.
generation_seconds() {
    local times=()
    for _ in $(seq "$repeat"); do
        local begin end
        begin=$(date +%s.%N)
        env "$@" "$bin/dravelin-cli" --model "$model" --prompt "a photo of a cat" \
            --steps "$steps" --seed 1 --output "$work/image.png" >/dev/null 2>&1
        end=$(date +%s.%N)
        times+=("$(awk -v a="$end" -v b="$begin" 'BEGIN { printf "%.3f", a - b }')")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)]}'
}

echo "load: $(uptime)"
echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) logical CPUs"
echo "model: $model, $steps steps, median of $repeat"
printf '%-34s %9s %12s %7s\n' "compute threads wait by" "alone (s)" "busy (s)" ratio
for policy in passive spinning; do
    if [ "$policy" = passive ]; then
        environment=(DRAVELIN_BUSY_DESKTOP=1)
        label="sleeping (the programs' own)"
    else
        environment=(GOMP_SPINCOUNT=300000)
        label="spinning (libgomp's default)"
    fi
    alone=$(generation_seconds "${environment[@]}")
    start_busy
    busy=$(generation_seconds "${environment[@]}")
    stop_busy
    printf '%-34s %9s %12s %7s\n' "$label" "$alone" "$busy" "$(awk -v a="$busy" -v b="$alone" 'BEGIN { printf "%.2f", a / b }')"
done

# The window beside the busy process: its own lateness figure per run.
start_busy
QT_QPA_PLATFORM=offscreen "$bin/dravelin-drive-timing" "$model" "$steps" |
    grep -E "answered input|click to result"
stop_busy
