#!/bin/sh
# Writes seed corpora for the fuzz targets from the repository's own small
# model bundles and tokenizer-like files: make_seeds.sh OUTDIR [BINDIR]
# With BINDIR (holding dravelin-make-model), tiny single-file checkpoints too.
set -eu
out=$1
fixtures=$(dirname "$0")/../nn/fixtures
mkdir -p "$out/safetensors" "$out/tokenizer_files" "$out/config" "$out/bundle" "$out/image" "$out/checkpoint" \
    "$out/parameters"
for model in "$fixtures"/*.model; do
    name=$(basename "$model" .model)
    cp "$model/config.json" "$out/config/$name.json"
    # A small header-only file: the first 8 bytes and the header.
    head -c 4096 "$model/model.safetensors" > "$out/safetensors/$name.safetensors"
    { cat "$model/config.json"; printf '\0\0'; head -c 4096 "$model/model.safetensors"; } \
        > "$out/bundle/$name"
done
printf '#version: 0.2\nc a\nca t</w>\nd o\n\0{"c": 0, "a": 1, "t</w>": 2, "ca": 3, "cat</w>": 4, "<|endoftext|>": 5}' \
    > "$out/tokenizer_files/small"
# Small PNGs of every colour type, depth and text chunk kind, interlaced too.
cp "$(dirname "$0")"/seeds/image/*.png "$out/image/"
# "parameters" texts: ours, the web UI's, quoted values, other scripts.
cp "$(dirname "$0")"/seeds/parameters/*.txt "$out/parameters/"
if [ $# -ge 2 ]; then
    scratch=$(mktemp -d)
    "$2/dravelin-make-model" "$scratch/sd" --checkpoint "$out/checkpoint/sd1.safetensors" >/dev/null
    "$2/dravelin-make-model" "$scratch/xl" --sdxl --refiner \
        --checkpoint "$out/checkpoint/sdxl.safetensors" >/dev/null
    rm -rf "$scratch"
fi
