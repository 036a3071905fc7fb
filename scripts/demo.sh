#!/usr/bin/env bash
# Builds vorsk, fits models on data it generates, prints a summary and writes plots.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
mkdir -p demo_output
# Run outside the source tree so that the installed package, not ./vorsk, is imported.
cd demo_output
"$root/.venv/bin/python" -m vorsk.demo --out "$root/demo_output"
