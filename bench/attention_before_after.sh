#!/bin/sh
# Attention before and after a change, in one run so that a loaded machine
# slows both alike: the attention alone at every full-size shape, then one
# denoising evaluation in both precisions, old binaries and new in turn,
# counted in processor time where the program offers it.
#   bench/attention_before_after.sh OLD_BIN_DIR NEW_BIN_DIR [MODELS_DIR]
# Each BIN_DIR holds dravelin-bench-attention and dravelin-bench-networks
# (copy build/bin's aside before rebuilding); MODELS_DIR is a full-size
# SD 1.5 directory (random weights are written when it is left out).
set -eu
old=$1
new=$2
models=${3:-}
export OMP_WAIT_POLICY=passive
uptime
lscpu | grep 'Model name'
for round in 1 2; do
    for side in old new; do
        eval dir=\$$side
        echo "== attention, $side binaries, round $round"
        "$dir/dravelin-bench-attention" --runs 2 --cpu-time --quick
    done
done
for side in old new; do
    eval dir=\$$side
    echo "== denoising evaluation, $side binaries"
    if [ -n "$models" ]; then
        "$dir/dravelin-bench-networks" --models "$models" --unet-only --precision both --runs 2
    else
        "$dir/dravelin-bench-networks" --unet-only --precision both --runs 2
    fi
done
uptime
