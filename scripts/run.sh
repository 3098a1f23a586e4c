#!/usr/bin/env bash
# Sets up, builds, and starts Drovelkit under Wine with a demo drive and image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
exec python3 scripts/demo.py
