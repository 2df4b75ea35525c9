#!/usr/bin/env bash
# Writes a full-size random-weight Stable Diffusion 1.5 model directory and
# generates one 512×512 image from it in 2 steps. Labelled "slow": several
# minutes and about 2.1 GB of disk.
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/dravelin-make-model" "$work/Model" --full-size
"$bin/dravelin-cli" --model "$work/Model" --prompt "a photo of a cat" --steps 2 --seed 1 \
    --reduce-memory --output "$work/image.png"
# A PNG signature and a 512×512 header.
head -c 8 "$work/image.png" | od -An -tx1 | grep -q "89 50 4e 47 0d 0a 1a 0a"
[ "$(od -An -tu1 -j16 -N8 "$work/image.png" | tr -s ' ')" = " 0 0 2 0 0 0 2 0" ]
echo "full-size generation: ok"
