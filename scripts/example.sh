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

step "train and clean each patch as the Slurm job array does (examples/slurm_patches.sh)"
# The array's tasks one after the other, with a stand-in trainer on the PATH.
root="$(pwd)"
out_abs="$(cd "$OUT" && pwd)"
mkdir -p "$OUT/bin"
cat > "$OUT/bin/your-splat-trainer" <<TRAINER
#!/usr/bin/env bash
# your-splat-trainer --model PATCH_DIR --output OUT.ply: splats over the patch's cameras
exec "$root/.venv/bin/python" "$root/examples/workflow.py" train "\$2" "\$4"
TRAINER
chmod +x "$OUT/bin/your-splat-trainer"
for id in $(workflow ids "$OUT/PLAN.json"); do
  (cd "$out_abs" && PATH="$out_abs/bin:$root/.venv/bin:$PATH" SLURM_ARRAY_TASK_ID="$id" \
    bash "$root/examples/slurm_patches.sh" PLAN.json patches)
done
workflow check cleanup "$OUT"

step "merge the cleaned patches"
cleaned=()
for id in $(workflow ids "$OUT/PLAN.json"); do cleaned+=("$OUT/clean/$id.ply"); done
"$SPLAT" merge "$OUT/scene.ply" "${cleaned[@]}"
workflow check merge "$OUT"

step "cut the scene into cells of 50 m"
"$SPLAT" cells "$OUT/scene.ply" --size 50 -o "$OUT/cells"
workflow check cells "$OUT"

printf '\nAll steps succeeded and their outputs were checked (%ss); outputs in %s\n' \
  "$((SECONDS - started))" "$OUT"
