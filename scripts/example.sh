#!/usr/bin/env bash
# Sets up a fresh machine and runs the example pipeline on generated data.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh python3 .venv
.venv/bin/python examples/pipeline.py "${@:-out/example}"
