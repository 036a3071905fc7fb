#!/usr/bin/env bash
# Builds vorsk, fits models on data it generates, prints a summary and writes a plot.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
.venv/bin/python -m vorsk.demo --out demo_output
