#!/usr/bin/env bash
# Times `qnzb-cli build-iso` (the cached build, through the read-ahead cache and the
# writing thread) and `qnzb-cli build-iso --quick` against `xorriso -as mkisofs -J`,
# `genisoimage -J` and the floors of bench/copy_floor.cpp (the same files read and
# written through a 1 MiB buffer, each padded to whole sectors, then zeros up to our
# image's size; and the files alone read by 8 threads over one list), in one run on
# the same trees, and writes the medians, the CPU time per GiB of source and the peak
# memory to RESULTS.md.
#
#   bench/build-iso-compare.sh [--cli PATH] [--floor PATH] [--runs N] [--trees "big many"] [--out FILE] [--warm-only]
#
# Trees come from /work/shared/bench/make-corpus.sh (or $QNZB_CORPUS_SCRIPT) and are
# made once under $QNZB_BENCH_DIR (default /tmp/qnzb-bench), then reused: "big" is
# 8 files of ~3 GiB in all, "many" 100,000 small files. Images are written next to
# them and removed after each run.
#
# Two conditions, each run N times with the tools taking turns (so a slow spell of
# a shared disk hits them all alike):
#   cold  the page cache is dropped before every run (needs root) and the time ends
#         when the output is fsynced: each tool pays for its reads and its writes.
#   warm  the tree is in the page cache and the output is left to the kernel: what
#         the tool itself costs, without the disk.
# A full run (5 runs of 6 tools, 2 trees, 2 conditions) takes about 40 minutes on
# 2 CPUs, most of it spent backing memory before each run (see back_memory).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
cli="$repo/build/bin/qnzb-cli"
floor_tool="$repo/build/bench/copy_floor"
runs=5
trees="big many"
out="$here/RESULTS.md"
warm_only=0
bench_dir=${QNZB_BENCH_DIR:-/tmp/qnzb-bench}
corpus_script=${QNZB_CORPUS_SCRIPT:-/work/shared/bench/make-corpus.sh}

while [ $# -gt 0 ]; do
  case $1 in
    --cli) cli=$2; shift 2 ;;
    --floor) floor_tool=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --trees) trees=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --warm-only) warm_only=1; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

for tool in xorriso genisoimage; do
  command -v "$tool" >/dev/null || { echo "missing $tool (make deps)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "no qnzb-cli at $cli (make build, or --cli PATH)" >&2; exit 1; }
[ -x "$floor_tool" ] || { echo "no copy_floor at $floor_tool (make build, or --floor PATH)" >&2; exit 1; }

corpus="$bench_dir/corpus"
work="$bench_dir/work"
mkdir -p "$corpus" "$work"
# qnzb-cli keeps its settings and recorder state here, never in $HOME.
export QNZB_INI="$work/QNZB.ini" QNZB_VDRIVE="$work/vdrive" QNZB_DRIVES="D=$work/no-drive"
export LC_ALL=C.UTF-8
log="$work/tools.log"
: >"$log"

for t in $trees; do
  if [ ! -d "$corpus/$t" ]; then
    echo "making the $t tree under $corpus (once)" >&2
    "$corpus_script" "$corpus" "$t"
  fi
done

# On this virtual machine the host takes back guest memory that stays free for
# a while (free page reporting), and backs it again only when the guest touches
# it: a host page fault per page. Which tool gets such pages for its page cache
# is chance (page-cache drops and deleted images free gigabytes at a time), and
# it put up to 3x the system time on a run. Before every timed run, memory for
# the tree and the image is touched once (and freed at once), so that each tool
# starts with memory the host backs.
back_memory() {  # $1: bytes wanted
  command -v python3 >/dev/null || return 0
  python3 - "$1" <<'PY'
import mmap, sys
# Free memory only: taking page cache would evict the tree of a warm run.
free = int([l.split()[1] for l in open("/proc/meminfo") if l.startswith("MemFree:")][0]) * 1024
n = min(int(sys.argv[1]), free - (1 << 30))
if n > 0:
    m = mmap.mmap(-1, n)
    for off in range(0, n, 4096):
        m[off] = 1
PY
}

modes="warm"
if [ "$warm_only" = 0 ] && sync && { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then
  modes="cold warm"
fi

# "wall cpu peak" of one command: seconds (cpu = user + system of the command and
# its children) and its peak resident memory in MiB. $1: cold or warm; $2: output
# file (none for the readers); the rest: the command.
cpu_file="$work/cpu.txt"
time_run() {
  local mode=$1 target=$2; shift 2
  rm -f "$target"
  sync
  [ "$mode" = cold ] && echo 3 >/proc/sys/vm/drop_caches
  back_memory "$memory_wanted"
  local start=$EPOCHREALTIME
  if ! /usr/bin/time -f '%U %S %M' -o "$cpu_file" "$@" >>"$log" 2>&1; then
    echo "failed: $*" >&2
    tail -5 "$log" >&2
    return 1
  fi
  if [ "$mode" = cold ] && [ -e "$target" ]; then sync "$target"; fi
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" '{ printf "%.3f %.3f %.1f", e - s, $1 + $2, $3 / 1024 }' "$cpu_file"
}

stats() {  # median and minimum of the numbers on stdin
  sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1] }'
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
tools=(qnzb qnzb-quick xorriso genisoimage floor readers)
declare -A times cpus peaks sizes tree_bytes tree_files

for t in $trees; do
  tree="$corpus/$t"
  tree_files[$t]=$(find "$tree" -type f | wc -l)
  tree_bytes[$t]=$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
  echo "== $t: ${tree_files[$t]} files, ${tree_bytes[$t]} bytes" >&2
  # The tree's page cache, the image's and 1 GiB for the rest.
  memory_wanted=$((2 * tree_bytes[$t] + (1 << 30)))
  for mode in $modes; do
    [ "$mode" = warm ] && (cd "$tree" && find . -type f -print0 | xargs -0 -r cat >/dev/null)
    for ((i = 1; i <= runs; i++)); do
      # The tools take turns, each run starting with the next one; the floor
      # always runs after our quick build, whose image size it copies.
      order=("${tools[@]:$(((i - 1) % 4))}" "${tools[@]:0:$(((i - 1) % 4))}")
      order=($(printf '%s\n' "${order[@]}" | grep -vx floor) floor)
      for tool in "${order[@]}"; do
        img="$work/$t-$tool.iso"
        case $tool in
          qnzb) r=$(time_run "$mode" "$img" "$cli" --quiet build-iso --save-path unchecked "$img" "$tree") ;;
          qnzb-quick) r=$(time_run "$mode" "$img" "$cli" --quiet build-iso --quick --save-path unchecked "$img" "$tree") ;;
          xorriso) r=$(time_run "$mode" "$img" xorriso -as mkisofs -J -quiet -o "$img" "$tree") ;;
          genisoimage) r=$(time_run "$mode" "$img" genisoimage -J -quiet -o "$img" "$tree") ;;
          floor) r=$(time_run "$mode" "$img" "$floor_tool" copy "$tree" "$img" "${sizes[$t,qnzb-quick]}") ;;
          readers) r=$(time_run "$mode" "$img" "$floor_tool" read "$tree" 8) ;;
        esac
        read -r s c p <<<"$r"
        sizes[$t,$tool]=$(stat -c %s "$img" 2>/dev/null || echo -)
        rm -f "$img"
        echo "   $mode run $i $tool: $s s, cpu $c s" >&2
        times[$t,$mode,$tool]="${times[$t,$mode,$tool]:-} $s"
        cpus[$t,$mode,$tool]="${cpus[$t,$mode,$tool]:-} $c"
        peaks[$t,$mode,$tool]="${peaks[$t,$mode,$tool]:-} $p"
      done
    done
  done
done

{
  echo "# Image build: qnzb-cli against peers and the floor"
  echo
  echo "Written by \`bench/build-iso-compare.sh\` (\`make bench-iso\`)."
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')); memory $(free -h | awk '/^Mem:/ { print $2 " total, " $7 " available" }'); load average at the start $load_start, at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- Disk holding trees and images: $(df -hT "$bench_dir" | awk 'NR == 2 { print $1 ", " $2 ", " $3 ", " $5 " free" }')"
  echo "- Source: commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$repo" diff --quiet HEAD 2>/dev/null || echo ' with uncommitted changes'); qnzb-cli: $cli"
  echo "- Tools: qnzb-cli $("$cli" --version 2>/dev/null | head -1), $(xorriso -version 2>&1 | head -1 | cut -d: -f1 | sed "s/ *$//"), $(genisoimage -version 2>&1 | head -1)"
  echo "- Commands: qnzb = \`qnzb-cli --quiet build-iso --save-path unchecked OUT TREE\` (cached build), qnzb-quick = the same with \`--quick\`, \`xorriso -as mkisofs -J -quiet -o OUT TREE\`, \`genisoimage -J -quiet -o OUT TREE\`; floor: \`copy_floor copy TREE OUT BYTES\` (every file read(2) and write(2) through one 1 MiB buffer, padded to whole sectors, then zeros up to the quick build's image size), readers: \`copy_floor read TREE 8\` (the files alone, read by 8 threads taking turns over one list, no output)"
  if [[ $modes == *cold* ]]; then
    echo "- cold: page cache dropped before every run, time ends when the output is fsynced; warm: tree in the page cache, output left to the kernel"
  else
    echo "- Only warm runs (no right to drop the page cache): tree in the page cache, output left to the kernel"
  fi
  echo "- Before every run, memory for the tree's and the image's page cache is touched once and freed (the virtual machine's host takes back free memory and faults it in again on first use, which landed on whichever tool came next)"
  echo "- $runs runs per tool, tree and condition, tools taking turns; MB/s = source bytes / median time (1 MB = 10^6 bytes); x floor = tool's median / floor's median (below 1: faster than the floor); CPU s/GiB = median user + system seconds of the tool and its children per GiB of source; peak MiB = median of the largest resident set"
  echo
  for t in $trees; do
    echo "## $t: ${tree_files[$t]} files, ${tree_bytes[$t]} bytes"
    echo
    echo "| Condition | Tool | Median s | Min s | MB/s | x floor | CPU s/GiB | Peak MiB | Image bytes |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
    for mode in $modes; do
      read -r floor_median _ < <(echo "${times[$t,$mode,floor]}" | tr ' ' '\n' | sed '/^$/d' | stats)
      for tool in "${tools[@]}"; do
        read -r median minimum < <(echo "${times[$t,$mode,$tool]}" | tr ' ' '\n' | sed '/^$/d' | stats)
        read -r cpu _ < <(echo "${cpus[$t,$mode,$tool]}" | tr ' ' '\n' | sed '/^$/d' | stats)
        read -r peak _ < <(echo "${peaks[$t,$mode,$tool]}" | tr ' ' '\n' | sed '/^$/d' | stats)
        awk -v mode="$mode" -v tool="$tool" -v m="$median" -v mn="$minimum" -v b="${tree_bytes[$t]}" -v f="$floor_median" \
          -v size="${sizes[$t,$tool]}" -v cpu="$cpu" -v peak="$peak" \
          'BEGIN { printf "| %s | %s | %.2f | %.2f | %.0f | %.2fx | %.2f | %.0f | %s |\n", mode, tool, m, mn, b / m / 1e6, m / f, cpu / (b / 1073741824), peak, size }'
      done
    done
    echo
  done
} >"$out"
echo "results in $out" >&2
cat "$out"
