#!/usr/bin/env bash
# Soak test outside the default suite: a real-time block-mode acquisition at the card's top
# rate (a 100 kHz clock: 50 000 frames a second), with a reader that must not lose a block.
#   bench/soak.sh [SECONDS] [TARVIK]     (defaults: 60, build/demo/tools/tarvik)
# Exit status: the tool's (0 nothing lost, 3 data lost, 1 device error).
set -euo pipefail
seconds=${1:-60}
tarvik=${2:-build/demo/tools/tarvik}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$tarvik" acquire --rate 100000 --duration "$seconds" --blocks 256 --frames-per-block 64 \
  --format raw --output "$out/soak.raw"
