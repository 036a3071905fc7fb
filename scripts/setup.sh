#!/usr/bin/env bash
# Installs the system packages, creates .venv and builds and installs vorsk into it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

packages=(g++ cmake ninja-build python3-venv libopenblas-dev libopenblas-serial-dev
          liblapacke-dev libeigen3-dev nlohmann-json3-dev libgtest-dev)
# shellcheck source=scripts/ensure_packages.sh
source "$root/scripts/ensure_packages.sh"
ensure_packages "${packages[@]}"

python="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check "numpy>=1.22" "pytest>=7" "matplotlib>=3.5"
.venv/bin/python -m pip install -q --disable-pip-version-check .
