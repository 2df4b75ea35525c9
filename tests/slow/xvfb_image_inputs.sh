#!/usr/bin/env bash
# Drives the real window on an X server (Xvfb, through xvfb-run) rather than
# Qt's offscreen platform: open an input image through the panel's button,
# paint a mask with the mouse, inpaint, use the result as the next input, and
# drop an image on the canvas. Saves the window at each stage to SHOT_DIR
# (default: a temporary folder, kept) and prints the test's verdict.
#
#   tests/slow/xvfb_image_inputs.sh [SHOT_DIR]
#
# Needs xvfb (Debian: apt-get install xvfb) and a build in build/.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${DRAVELIN_BIN:-build/bin}
shots=${1:-$(mktemp -d)}
mkdir -p "$shots"
if ! command -v xvfb-run >/dev/null; then
    echo "xvfb-run is not installed (apt-get install xvfb)" >&2
    exit 2
fi
uptime
lscpu | grep "Model name" || true
DRAVELIN_WINDOW_SHOTS=$(cd "$shots" && pwd) DRAVELIN_TEST_PLATFORM=xcb DRAVELIN_PRECISION=float32 \
    xvfb-run -a -s "-screen 0 1400x900x24" \
    "$bin/test_window" --gtest_filter='Window.OpensPaintsInpaintsAndReusesAResult'
echo "window shots in $shots:"
ls -l "$shots"
