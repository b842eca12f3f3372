#!/usr/bin/env bash
# Train, then clean, each patch of a plan as one task of a Slurm job array.
#
#   larkspan-splat plan scene/sparse/0 -o PLAN.json
#   larkspan-splat split-model PLAN.json patches --no-points
#   larkspan-splat split-cloud PLAN.json scene/cloud.ply patches
#   larkspan-splat info PLAN.json        # "patches: 42 (ids 0 to 41), ..."
#   mkdir -p logs                          # Slurm does not create the log folder
#   sbatch --array=0-41 examples/slurm_patches.sh PLAN.json patches
#   # when every task has finished:
#   larkspan-splat merge scene.ply clean/*.ply
#   larkspan-splat cells scene.ply --size 50 -o cells
#
# Patch ids are 0 .. N-1 in the order of the plan, so the array index is the id.
#SBATCH --job-name=splat-patch
#SBATCH --gres=gpu:1
#SBATCH --cpus-per-task=8
#SBATCH --time=12:00:00
#SBATCH --output=logs/patch_%a.out
set -euo pipefail

PLAN="${1:?usage: slurm_patches.sh PLAN.json PATCHES_DIR}"
PATCHES="${2:?usage: slurm_patches.sh PLAN.json PATCHES_DIR}"
ID="${SLURM_ARRAY_TASK_ID:?run as a job array: sbatch --array=0-N}"
PATCH="$PATCHES/$ID"  # cameras.bin, images.bin and points3D.bin of this patch

# Training: replace with your trainer. It reads the patch's COLMAP model and
# starting points in $PATCH and writes the trained splats as a PLY file.
mkdir -p "trained/$ID"
your-splat-trainer --model "$PATCH" --output "trained/$ID/point_cloud.ply"

# Crop to the patch's core (its rectangle without the buffer, so neighbouring
# patches meet without overlap), drop floaters and oversized splats.
larkspan-splat cleanup "trained/$ID/point_cloud.ply" "$PATCH/points3D.bin" \
  -o "clean/$ID.ply" --plan "$PLAN" --patch "$ID" \
  --radius 0.5 --min-neighbors 3 --max-scale 1.0
