#!/usr/bin/env bash
# A full-size random-weight model with a random rank-64 LoRA (about the size
# of the latent-consistency LoRA for SD 1.5) to a 512×512 PNG in 4 LCM steps
# at guidance 1, printing the split of loading, denoising and decoding.
# Labelled "slow": minutes and about 2.3 GB of disk.
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/dravelin-make-model" "$work/Model" --full-size
"$bin/dravelin-make-model" --lora "$work/lcm.safetensors" --full-size --rank 64
"$bin/dravelin-cli" --model "$work/Model" --prompt "a photo of a cat" --scheduler lcm \
    --lora "$work/lcm.safetensors" --seed 1 --output "$work/image.png"
# A PNG signature and a 512×512 header.
head -c 8 "$work/image.png" | od -An -tx1 | grep -q "89 50 4e 47 0d 0a 1a 0a"
[ "$(od -An -tu1 -j16 -N8 "$work/image.png" | tr -s ' ')" = " 0 0 2 0 0 0 2 0" ]
echo "4-step LCM generation with a LoRA: ok"
