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
"$store_bench" --benchmark_filter='^$' >/dev/null 2>&1
big_store=${TMPDIR:-/tmp}/murnavell-store-bench-v2/store-1000000.storedata

# once <command...>: one start; prints "ms rss".
once() { ip netns exec "$b" python3 "$here/first_datagram.py" ip netns exec "$a" "$@"; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# app_env <home>: a copy's own folders, offscreen.
app_env() {
  local home=$1
  mkdir -p "$home"/{home,config,data,run}
  echo env HOME="$home/home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
}
empty=$work/empty
full=$work/full
app_env "$empty" >/dev/null
app_env "$full" >/dev/null
mkdir -p "$full/data/Murnavell"
cp "$big_store" "$full/data/Murnavell/Murnavell-v2.storedata"

# The three cases take turns, so a change in the machine's load falls on all of them alike.
base_ts=() base_rs=() empty_ts=() empty_rs=() full_ts=() full_rs=()
for ((i = 0; i < runs; i++)); do
  read -r t r < <(once env QT_QPA_PLATFORM=offscreen "$minimal" 198.18.0.255)
  base_ts+=("$t") base_rs+=("$r")
  # shellcheck disable=SC2046
  read -r t r < <(once $(app_env "$empty") "$app")
  empty_ts+=("$t") empty_rs+=("$r")
  # shellcheck disable=SC2046
  read -r t r < <(once $(app_env "$full") "$app")
  full_ts+=("$t") full_rs+=("$r")
done
echo "runs (ms): minimal ${base_ts[*]}; empty ${empty_ts[*]}; 1M ${full_ts[*]}"
base_t=$(median "${base_ts[@]}") base_r=$(median "${base_rs[@]}")
empty_t=$(median "${empty_ts[@]}") empty_r=$(median "${empty_rs[@]}")
full_t=$(median "${full_ts[@]}") full_r=$(median "${full_rs[@]}")

echo
echo "start-up (medians of $runs)        ours        baseline     ratio"
awk -v a="$empty_t" -v b="$base_t" 'BEGIN { printf "first UI, empty store        %8.1f ms  %8.1f ms  %6.2f\n", a, b, a / b }'
awk -v a="$full_t" -v b="$base_t" 'BEGIN { printf "first UI, 1M entries         %8.1f ms  %8.1f ms  %6.2f\n", a, b, a / b }'
awk -v a="$full_t" -v b="$empty_t" 'BEGIN { printf "first UI, 1M over empty      %8.1f ms  %8.1f ms  %6.2f\n", a, b, a / b }'
awk -v a="$empty_r" -v b="$base_r" 'BEGIN { printf "RSS, empty store             %8d KiB %8d KiB %6.2f\n", a, b, a / b }'
awk -v a="$full_r" -v b="$base_r" 'BEGIN { printf "RSS, 1M entries              %8d KiB %8d KiB %6.2f\n", a, b, a / b }'
awk -v a="$full_r" -v b="$empty_r" 'BEGIN { printf "RSS, 1M over empty           %8d KiB %8d KiB %6.2f\n", a, b, a / b }'
