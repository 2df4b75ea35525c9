#!/usr/bin/env bash
# Writes a full-size random-weight SDXL base model directory and generates one
# 1024×1024 image from it in 2 steps with --reduce-memory, printing the peak
# resident memory. Labelled "slow": many minutes and about 7 GB of disk.
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/dravelin-make-model" "$work/Model" --sdxl --full-size
/usr/bin/time -f "peak resident memory: %M kB, %e s" \
    "$bin/dravelin-cli" --model "$work/Model" --prompt "a photo of a cat" --steps 2 --seed 1 \
    --scheduler dpm --reduce-memory --output "$work/image.png"
# A PNG signature and a 1024×1024 header.
head -c 8 "$work/image.png" | od -An -tx1 | grep -q "89 50 4e 47 0d 0a 1a 0a"
[ "$(od -An -tu1 -j16 -N8 "$work/image.png" | tr -s ' ')" = " 0 0 4 0 0 0 4 0" ]
echo "full-size SDXL generation: ok"
