#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on a scratch copy of its seed
# corpus, so that the committed corpus is never written to. Fails on any
# crash, sanitizer report, leak or hang; the input that caused it is left in
# the scratch directory's artifacts/.
#   run_target.sh TARGET SEED_CORPUS SCRATCH_DIR SECONDS
# SHOAL_FUZZ_SECONDS in the environment overrides SECONDS.
set -euo pipefail
target=$1 seeds=$2 scratch=$3
seconds=${SHOAL_FUZZ_SECONDS:-$4}

rm -rf "$scratch"
mkdir -p "$scratch/corpus" "$scratch/artifacts"
cp "$seeds"/* "$scratch/corpus/"
exec "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$scratch/artifacts/" "$scratch/corpus"
