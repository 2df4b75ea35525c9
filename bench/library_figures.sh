#!/bin/sh
# Full-size figures of the window's model library, from random weights:
# importing a full-size single-file checkpoint (hashing included), its first
# load, and the peak memory of SDXL generations driven through the window,
# with the networks each leaves loaded and what a changed prompt costs.
#   bench/library_figures.sh BIN_DIR [WORK_DIR] [PRECISION]
# BIN_DIR is build/bin; WORK_DIR (default /tmp/dravelin-sdxl-bench, about
# 16 GB free needed) is removed at the end; PRECISION defaults to bfloat16.
set -eu
bin=$1
work=${2:-/tmp/dravelin-sdxl-bench}
precision=${3:-bfloat16}
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM

# The downloaded model only lends its tokenizer here: tiny is enough.
"$bin/dravelin-make-model" "$work/hub" > /dev/null
echo "writing a full-size SD 1.5 checkpoint (about 2.1 GB)"
"$bin/dravelin-make-model" "$work/sd" --full-size --checkpoint "$work/sd.safetensors" > /dev/null
rm -rf "$work/sd"
DRAVELIN_PRECISION=$precision "$bin/dravelin-drive-timing" "$work/hub" 2 --import "$work/sd.safetensors"
rm -f "$work/sd.safetensors"

echo "writing a full-size SDXL base checkpoint (about 6.9 GB)"
"$bin/dravelin-make-model" "$work/xl" --sdxl --full-size --checkpoint "$work/xl.safetensors" > /dev/null
rm -rf "$work/xl"
ls -l "$work/xl.safetensors"
# The library sits on the same file system as the file: linked, then hashed.
# Three generations: the second repeats the prompt (no text encoder runs),
# the third changes it (both encoders are loaded again to encode it).
cat > "$work/xl.json" <<'JSON'
{"steps": 2, "runs": 3,
 "prompts": ["a photo of a cat", "a photo of a cat", "a photo of a dog"]}
JSON
DRAVELIN_PRECISION=$precision "$bin/dravelin-drive-timing" "$work/hub" "$work/xl.json" \
    --import "$work/xl.safetensors"
