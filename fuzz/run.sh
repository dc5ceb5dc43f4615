#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, ASan and UBSan into
# build-fuzz/ and runs each for SECONDS (default 60).
#
#   fuzz/run.sh [SECONDS] [TARGET...]      fuzz (targets: config_loader listing_parser)
#   fuzz/run.sh --build                    only build
#   fuzz/run.sh --merge [TARGET...]        minimise the grown corpus into fuzz/corpus/
#
# Each target grows build-fuzz/corpus/<target>, seeded from the committed
# fuzz/corpus/<target>; crashing inputs land in build-fuzz/artifacts/. One job
# per target and a 2 GB RSS cap, so the fuzzer shares the machine politely.
# Exits non-zero when any target found a crash, leak or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
all_targets=(config_loader listing_parser)

sources_config_loader=(config/task_list.cpp platform/platform_posix.cpp)
sources_listing_parser=(ftp/listing_parser.cpp)
# Past the loader's 64 KiB read chunk, so line ends split across two reads
# are reached; a listing's lines are short, but many of them matter.
max_len_config_loader=140000
max_len_listing_parser=65536

build() {
  mkdir -p "$out/obj"
  local cxx=${CLANGXX:-clang++}
  local flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -I"$root"
               -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  # clang cannot produce code page 936 literals (-fexec-charset accepts only
  # UTF-8), so the message texts come from g++, uninstrumented: they are
  # constant strings, the code under test is what gets fuzzed.
  g++ -std=c++17 -O1 -g -I"$root" -finput-charset=UTF-8 -fexec-charset=GBK \
      -c messages/messages.cpp -o "$out/obj/messages.o"
  local target src objs
  for target in "${all_targets[@]}"; do
    local -n srcs="sources_$target"
    objs=()
    for src in "${srcs[@]}"; do
      local obj="$out/obj/$(basename "${src%.cpp}").o"
      "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
      objs+=("$obj")
    done
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "fuzz/fuzz_$target.cpp" "${objs[@]}" \
        "$out/obj/messages.o" -o "$out/fuzz_$target"
  done
}

fuzz() {
  local seconds=$1 target=$2
  local corpus="$out/corpus/$target" artifacts="$out/artifacts/$target/" logs="$out/logs/$target"
  local -n max_len="max_len_$target"
  mkdir -p "$corpus" "$artifacts" "$logs"
  echo "=== fuzz_$target for ${seconds}s (log: $logs/fuzz-0.log)"
  # With -jobs libFuzzer writes fuzz-<job>.log into the working directory.
  # The committed seeds are read, never written: new inputs go to $corpus.
  local status=0
  (cd "$logs" &&
   ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   "$out/fuzz_$target" -max_total_time="$seconds" -jobs=1 -workers=1 -rss_limit_mb=2048 \
       -max_len="$max_len" -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts" \
       "$corpus" "$root/fuzz/corpus/$target") || status=1
  tail -n 12 "$logs/fuzz-0.log"
  if [ -n "$(ls -A "$artifacts")" ]; then
    echo "fuzz_$target: findings in $artifacts" >&2
    status=1
  fi
  return $status
}

merge() {
  local target=$1 corpus="fuzz/corpus/$target"
  local fresh
  fresh=$(mktemp -d)
  "$out/fuzz_$target" -merge=1 "$fresh" "$corpus" "$out/corpus/$target" >/dev/null 2>&1
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$fresh"/* "$corpus"/
  rm -rf "$fresh"
  echo "$target: $(ls "$corpus" | wc -l) inputs, $(du -sk "$corpus" | cut -f1) KiB"
}

case "${1:-}" in
  --build)
    build
    ;;
  --merge)
    shift
    build
    for target in "${@:-${all_targets[@]}}"; do merge "$target"; done
    ;;
  *)
    seconds=${1:-60}
    [ $# -gt 0 ] && shift
    targets=("$@")
    [ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
    build
    status=0
    for target in "${targets[@]}"; do fuzz "$seconds" "$target" || status=1; done
    exit $status
    ;;
esac
