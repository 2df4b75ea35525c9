#!/usr/bin/env bash
# The window's fast mode and image queue, driven under a display (Xvfb when
# there is none) against a full-size random-weight SD 1.5 model:
#   1. fast mode at 512 × 512 (a rank-64 random LoRA standing in for the
#      latent-consistency one, LCM sampler, 4 steps, guidance 1), click to
#      result, against the same settings through dravelin-cli in the same run;
#   2. a queue of 4 images at 20 steps against one image, both in the window.
# Usage: bench/window_settings_timing.sh BUILD_BIN [WORK_DIR]
# About 2.3 GB of disk under WORK_DIR (default: a temporary folder, removed).
set -euo pipefail
bin=$(cd "$1" && pwd)
work=${2:-}
if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
[ -d "$work/Model" ] || "$bin/dravelin-make-model" "$work/Model" --full-size
[ -f "$work/lcm.safetensors" ] ||
    "$bin/dravelin-make-model" --lora "$work/lcm.safetensors" --full-size --rank 64
drive() {
    if [ -z "${DISPLAY:-}" ] && command -v xvfb-run > /dev/null; then
        xvfb-run -a -s "-screen 0 1280x1024x24" "$bin/dravelin-drive-timing" "$@"
    else
        "$bin/dravelin-drive-timing" "$@"
    fi
}
echo "== fast mode in the window"
cat > "$work/fast.json" <<JSON
{"prompt": "a photo of a cat", "seed": 1, "fastMode": true,
 "fastModeLora": "$work/lcm.safetensors", "runs": 2}
JSON
drive "$work/Model" "$work/fast.json"
echo "== the same through dravelin-cli"
# Its last line splits loading from prompt, denoising and decoding: the
# window's click to result compares with the two after loading.
"$bin/dravelin-cli" --model "$work/Model" --prompt "a photo of a cat" --seed 1 \
    --scheduler lcm --steps 4 --guidance 1 --lora "$work/lcm.safetensors" \
    --output "$work/cli.png" 2>&1 > /dev/null | grep "^loading"
echo "== one image, then a queue of 4, in the window"
cat > "$work/one.json" <<JSON
{"prompt": "a photo of a cat", "seed": 1, "steps": 20, "imageCount": 1, "runs": 1}
JSON
drive "$work/Model" "$work/one.json"
cat > "$work/queue.json" <<JSON
{"prompt": "a photo of a cat", "seed": 1, "steps": 20, "imageCount": 4, "runs": 1}
JSON
drive "$work/Model" "$work/queue.json"
