#!/bin/sh
# Memory and load time before and after a change, in one run: the full-size
# SD 1.5 networks (dravelin-bench-networks: load, peak resident memory,
# processor time of an evaluation, in both precisions), a 20-step
# command-line generation's peak, and, given an SDXL directory, the load of
# its denoising network; old binaries and new in turn.
#   bench/memory_before_after.sh OLD_BIN_DIR NEW_BIN_DIR SD15_DIR [SDXL_DIR [STEPS]]
# Each BIN_DIR holds dravelin-bench-networks, dravelin-bench-sdxl and
# dravelin-cli (copy build/bin's aside before rebuilding); the model
# directories are full-size ones (`dravelin-make-model DIR --full-size`,
# `--sdxl --full-size`). STEPS (default 20) sets the generation's steps;
# /usr/bin/time (Debian's time) gives its peak resident memory.
set -eu
old=$1
new=$2
sd=$3
xl=${4:-}
steps=${5:-20}
export OMP_WAIT_POLICY=passive
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT INT TERM
uptime
lscpu | grep 'Model name'
for side in old new; do
    eval dir=\$$side
    echo "== networks, $side binaries"
    "$dir/dravelin-bench-networks" --models "$sd" --precision both --runs 2 |
        grep -E '^[A-Z]|^    load  |peak resident|load added|processor time|evaluation \(best'
done
for side in old new; do
    eval dir=\$$side
    echo "== $steps-step generation (dravelin-cli, automatic precision), $side binaries"
    /usr/bin/time -f 'peak resident memory %M kB; processor %U s user, %S s system' \
        "$dir/dravelin-cli" --model "$sd" --prompt "a photo of a cat" --steps "$steps" --seed 1 \
        --output "$out/$side.png" 2>&1 | grep -E '^loading|peak resident' || true
done
if [ -n "$xl" ]; then
    for side in old new; do
        eval dir=\$$side
        echo "== SDXL denoising network, $side binaries"
        "$dir/dravelin-bench-sdxl" "$xl" --only Unet --runs 1 | grep -E 'load|peak' || true
    done
fi
uptime
