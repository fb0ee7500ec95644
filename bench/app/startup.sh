#!/usr/bin/env bash
# Start-up of the application: time from exec to its first presence datagram ("UI") and its
# resident memory a second later, with an empty store and with a store of 1,000 users and
# 1,000,000 log entries, against a minimal Qt widget program that sends one datagram as soon as
# its event loop runs, in the same run. Medians of RUNS (default 5) starts each; ratios at the
# end. Needs root (two network namespaces joined by a veth pair in 198.18.0.0/24; nothing
# leaves them). Usage: bench/app/startup.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build-bench}" && pwd)
runs=${RUNS:-5}
app=$build/murnavell
minimal=$build/bench/app/minimal_widget_program
store_bench=$build/bench/store/store_bench
[ "$(id -u)" -eq 0 ] || { echo "startup.sh: needs root for network namespaces; skipped"; exit 0; }
for f in "$app" "$minimal" "$store_bench"; do [ -x "$f" ] || { echo "startup.sh: $f not built" >&2; exit 1; }; done

suffix=$$
a=mvbench-a-$suffix b=mvbench-b-$suffix
work=$(mktemp -d)
cleanup() {
  ip netns del "$a" 2>/dev/null || true
  ip netns del "$b" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$a"
ip netns add "$b"
ip link add "va$suffix" type veth peer name "vb$suffix"
ip link set "va$suffix" netns "$a"
ip link set "vb$suffix" netns "$b"
ip -n "$a" addr add 198.18.0.1/24 broadcast 198.18.0.255 dev "va$suffix"
ip -n "$b" addr add 198.18.0.2/24 broadcast 198.18.0.255 dev "vb$suffix"
for ns in "$a" "$b"; do
  ip -n "$ns" link set lo up
done
ip -n "$a" link set "va$suffix" up
ip -n "$b" link set "vb$suffix" up

# The big store is the store benchmark's own (built once, kept in the temporary folder).
"$store_bench" --benchmark_filter='^$' >/dev/null
big_store=${TMPDIR:-/tmp}/murnavell-store-bench-v2/store-1000000.storedata

# measure <label> <command...>: RUNS starts; prints the medians "ms rss".
measure() {
  local label=$1
  shift
  local times=() rss=()
  for ((i = 0; i < runs; i++)); do
    read -r t r < <(ip netns exec "$b" python3 "$here/first_datagram.py" ip netns exec "$a" "$@")
    times+=("$t")
    rss+=("$r")
  done
  local mt mr
  mt=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  mr=$(printf '%s\n' "${rss[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  printf '%-28s first datagram %8.1f ms   RSS %8d KiB   (runs: %s ms)\n' "$label" "$mt" "$mr" "${times[*]}" >&2
  echo "$mt $mr"
}

# app_env <home>: a copy's own folders, offscreen.
app_env() {
  local home=$1
  mkdir -p "$home"/{home,config,data,run}
  echo env HOME="$home/home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
}

read -r base_t base_r < <(measure "minimal widget program" env QT_QPA_PLATFORM=offscreen "$minimal" 198.18.0.255)

empty=$work/empty
# shellcheck disable=SC2046
read -r empty_t empty_r < <(measure "application, empty store" $(app_env "$empty") "$app")

full=$work/full
app_env "$full" >/dev/null
mkdir -p "$full/data/Murnavell"
cp "$big_store" "$full/data/Murnavell/Murnavell-v2.storedata"
# shellcheck disable=SC2046
read -r full_t full_r < <(measure "application, 1M log entries" $(app_env "$full") "$app")

echo
echo "start-up                          ours        baseline     ratio"
awk -v a="$empty_t" -v b="$base_t" 'BEGIN { printf "first UI, empty store        %8.1f ms  %8.1f ms  %6.2f\n", a, b, a / b }'
awk -v a="$full_t" -v b="$base_t" 'BEGIN { printf "first UI, 1M entries         %8.1f ms  %8.1f ms  %6.2f\n", a, b, a / b }'
awk -v a="$full_t" -v b="$empty_t" 'BEGIN { printf "first UI, 1M over empty      %8.1f ms  %8.1f ms  %6.2f\n", a, b, a / b }'
awk -v a="$empty_r" -v b="$base_r" 'BEGIN { printf "RSS, empty store             %8d KiB %8d KiB %6.2f\n", a, b, a / b }'
awk -v a="$full_r" -v b="$base_r" 'BEGIN { printf "RSS, 1M entries              %8d KiB %8d KiB %6.2f\n", a, b, a / b }'
awk -v a="$full_r" -v b="$empty_r" 'BEGIN { printf "RSS, 1M over empty           %8d KiB %8d KiB %6.2f\n", a, b, a / b }'
