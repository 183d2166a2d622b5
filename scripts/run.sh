#!/usr/bin/env bash
# Builds Kalvaro (installing what the machine lacks) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --install dev -DKALVARO_WERROR=OFF -DKALVARO_TESTS=OFF -DKALVARO_BENCH=OFF
exec build/app/kalvaro "$@"
