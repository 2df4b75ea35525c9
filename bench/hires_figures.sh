#!/usr/bin/env bash
# The hires fix from 512 × 512 to 1024 × 1024 with each enlargement, on a
# full-size model: the whole run's wall time and peak resident memory (from
# GNU time), and the command line's own per-pass report.
#
#   bench/hires_figures.sh MODEL_DIR [STEPS [HIRES_STRENGTH]]
#
# MODEL_DIR needs VAEEncoder.model (dravelin-make-model DIR --full-size
# writes one with random weights). STEPS (default 20) serve both passes; the
# enlarged pass runs STEPS × HIRES_STRENGTH (default 0.5) of them.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${DRAVELIN_BIN:-build/bin}
model=${1:?usage: bench/hires_figures.sh MODEL_DIR [STEPS [HIRES_STRENGTH]]}
steps=${2:-20}
strength=${3:-0.5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
uptime
lscpu | grep "Model name" || true
for upscaler in image latent; do
    echo "== --hires-upscaler $upscaler, $steps steps, hires strength $strength"
    /usr/bin/time -f "$upscaler: %e s wall, peak resident %M KB" \
        "$bin/dravelin-cli" --model "$model" --prompt "a lighthouse on a cliff at dusk" \
        --seed 7 --steps "$steps" --hires 2 --hires-strength "$strength" \
        --hires-upscaler "$upscaler" --output "$work/$upscaler.png" 2>&1 |
        grep -v "^step " || true
done
uptime
