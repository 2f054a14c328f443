#!/usr/bin/env bash
# Builds the fuzz targets (the configuration in fuzz/config.cmake, in build/fuzz)
# and runs each for a fixed time, starting from a copy of its corpus. Exits non-zero
# when any target finds a failure; its input is kept in build/fuzz/artifacts/.
#
#   fuzz/run.sh [SECONDS] [--merge] [TARGET...]
#
#   SECONDS   per target, default 30
#   --merge   afterwards, add the inputs that reach new coverage to fuzz/corpus/<target>/
#             (without it the repository's corpus is never changed)
#   TARGET    recordset_load_fuzzer, message_fuzzer, find_by_name_fuzzer,
#             service_statement_fuzzer, local_server_fuzzer; default all of them
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=30
merge=0
targets=()
for arg in "$@"; do
  case "$arg" in
    --merge) merge=1 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *[!0-9]*) targets+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(recordset_load_fuzzer message_fuzzer find_by_name_fuzzer service_statement_fuzzer local_server_fuzzer)
fi

./scripts/install-deps
build=$root/build/fuzz
cmake -C fuzz/config.cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

artifacts=$build/artifacts
mkdir -p "$artifacts"
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
  corpus=$root/fuzz/corpus/$target
  mkdir -p "$work/$target"
  if [ -d "$corpus" ]; then cp -R "$corpus/." "$work/$target/"; fi
  options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=60 -print_final_stats=1
           -artifact_prefix="$artifacts/$target-")
  if [ -f "$root/fuzz/$target.dict" ]; then options+=(-dict="$root/fuzz/$target.dict"); fi
  # Its inputs describe whole record sets: let them be long from the start.
  if [ "$target" = recordset_load_fuzzer ]; then options+=(-len_control=0); fi

  echo "== $target: ${seconds} s"
  # From the work folder, so that whatever a target writes by a relative name stays there.
  if (cd "$work" && "$build/fuzz/$target" "${options[@]}" "$work/$target" >"$work/$target.log" 2>&1); then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|FINDING' "$work/$target.log" || true
  else
    failed+=("$target")
    tail -n 80 "$work/$target.log"
    echo "== $target FAILED; its input is in $artifacts/"
  fi
  if [ "$merge" -eq 1 ]; then
    mkdir -p "$corpus"
    (cd "$work" && "$build/fuzz/$target" -merge=1 -rss_limit_mb=2048 -timeout=60 "$corpus" "$work/$target" \
      >"$work/$target.merge.log" 2>&1) || { tail -n 20 "$work/$target.merge.log"; failed+=("$target (merge)"); }
    grep -E '^MERGE-OUTER: [0-9]+ new files' "$work/$target.merge.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "Fuzzing: no failures in ${targets[*]}"
