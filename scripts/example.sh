#!/usr/bin/env bash
# Sets up a fresh machine and runs the whole workflow through the command line
# on a generated scene: plan, split the model and the cloud, "train" and clean
# each patch from the manifest, merge, cut cells. Every step's outputs are
# checked by examples/workflow.py; the first failure stops the run.
# Usage: bash scripts/example.sh [OUTPUT_DIR]   (default out/example)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh python3 .venv

OUT="${1:-out/example}"
SPLAT=.venv/bin/larkspan-splat
workflow() { .venv/bin/python examples/workflow.py "$@"; }
step() { printf '\n== %s\n' "$*"; }

rm -rf "$OUT"
mkdir -p "$OUT"
started=$SECONDS

step "a generated scene: a COLMAP model of 300 images and a point cloud"
workflow scene "$OUT"
"$SPLAT" info "$OUT/model"
"$SPLAT" info "$OUT/cloud.ply"

step "plan patches of at most 60 cameras"
"$SPLAT" plan "$OUT/model" -o "$OUT/PLAN.json" --max-cameras 60 --buffer 5 --png "$OUT/plan.png"
workflow check plan "$OUT"

step "split the model (cameras and images; the points come from the cloud)"
"$SPLAT" split-model "$OUT/PLAN.json" "$OUT/patches" --no-points
workflow check split-model "$OUT"

step "split the cloud into the same patch folders"
"$SPLAT" split-cloud "$OUT/PLAN.json" "$OUT/cloud.ply" "$OUT/patches" --max-z 12
workflow check split-cloud "$OUT"

step "train and clean each patch (one cluster job each: examples/slurm_patches.sh)"
for id in $(workflow ids "$OUT/PLAN.json"); do
  workflow train "$OUT/PLAN.json" "$id" "$OUT/trained/$id.ply"
  "$SPLAT" cleanup "$OUT/trained/$id.ply" "$OUT/patches/$id/points3D.bin" \
    -o "$OUT/clean/$id.ply" --discarded "$OUT/clean/${id}_discarded.ply" \
    --plan "$OUT/PLAN.json" --patch "$id" --radius 1.5 --min-neighbors 3 --max-scale 0.1
done
workflow check cleanup "$OUT"

step "merge the cleaned patches"
kept=()
for id in $(workflow ids "$OUT/PLAN.json" | sort); do kept+=("$OUT/clean/$id.ply"); done
"$SPLAT" merge "$OUT/scene.ply" "${kept[@]}"
workflow check merge "$OUT"

step "cut the scene into cells of 50 m"
"$SPLAT" cells "$OUT/scene.ply" --size 50 -o "$OUT/cells"
workflow check cells "$OUT"

printf '\nAll steps succeeded and their outputs were checked (%ss); outputs in %s\n' \
  "$((SECONDS - started))" "$OUT"
