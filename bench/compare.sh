#!/usr/bin/env bash
# Measures Lumeth's BPE training and encoding against established tokenizer
# libraries on the same corpus, in one session, interleaved, and prints two
# tables of median times and ratios: every tool on one thread, then every
# tool at its default thread count beside Lumeth with two threads.
#
#   bench/compare.sh [REPETITIONS]      (default 3)
#
# Peers, used only as black boxes through their public APIs:
#   - SentencePiece, C++ API of Debian's libsentencepiece-dev: BPE training
#     with byte fallback, encoding (bench/peers/sentencepiece_driver.cpp);
#   - npm `tokenizers`: BPE on a whitespace-split pre-tokenizer; its binding
#     trains 30000-token vocabularies only, so it is compared at 30000;
#   - npm `tiktoken`: cl100k_base encoding, from the encoding file shipped in
#     the npm package (bench/peers/node_driver.cjs).
# They are installed by this script (apt-get, npm into a scratch directory);
# nothing of theirs is kept in the repository.
#
# Environment: LUMETH_CORPUS_DIR (default /tmp/lumeth-corpus; built with
# bench/make-corpus.sh when missing), LUMETH_PEERS_DIR (scratch directory,
# default /tmp/lumeth-peers), LUMETH_BUILD_DIR (default build/release).
#
# One thread: every measured process runs pinned to one core (taskset) with
# the peers' thread pools set to one thread. All threads: nothing is pinned;
# Lumeth runs with a ThreadPool of 2 (encodeParallel for whole texts,
# encodeBatch for lines, trainBpe with parallel counting); `tokenizers`
# trains and encodes lines with encodeBatch on every core (its default);
# SentencePiece trains with its default thread count (its C++ encoder has no
# batch call, so it encodes on one thread); the npm `tiktoken` has no batch
# encoder and encodes on one thread. Times are wall-clock seconds of the timed
# work only (loading files and models is outside), the median over the
# repetitions; ratio = peer time / Lumeth time, so above 1 means Lumeth is
# faster. Peak RSS: Lumeth's from its benchmark counter (the training call),
# the peers' from /usr/bin/time (whole process).
set -euo pipefail
export LC_ALL=C.UTF-8

root=$(cd "$(dirname "$0")/.." && pwd)
repetitions=${1:-3}
export LUMETH_CORPUS_DIR=${LUMETH_CORPUS_DIR:-/tmp/lumeth-corpus}
peers=${LUMETH_PEERS_DIR:-/tmp/lumeth-peers}
build=${LUMETH_BUILD_DIR:-$root/build/release}
corpus=$LUMETH_CORPUS_DIR/corpus.txt
mkdir -p "$peers"

say() { printf '== %s\n' "$*" >&2; }

# ---- corpus, our benchmark, the peers --------------------------------------
if [[ ! -s $corpus || ! -s $LUMETH_CORPUS_DIR/corpus-1m.txt ]]; then
  say "building the corpus in $LUMETH_CORPUS_DIR"
  "$root/bench/make-corpus.sh" >&2
fi

say "building lumeth_bench_tokenizer in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMETH_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target lumeth_bench_tokenizer >/dev/null
bench=$build/bench/lumeth_bench_tokenizer

missing=()
for tool in g++ node npm taskset python3; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[[ -e /usr/include/sentencepiece_trainer.h ]] || missing+=(libsentencepiece-dev)
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]} > 0)); then
  say "installing ${missing[*]}"
  packages=()
  for m in "${missing[@]}"; do
    case $m in
      g++) packages+=(g++) ;;
      node | npm) packages+=(nodejs npm) ;;
      taskset) packages+=(util-linux) ;;
      *) packages+=("$m") ;;
    esac
  done
  apt-get update -qq
  apt-get install -y -qq "${packages[@]}" >/dev/null
fi

say "building the SentencePiece driver"
g++ -O2 -std=c++17 "$root/bench/peers/sentencepiece_driver.cpp" \
  -lsentencepiece -lsentencepiece_train -o "$peers/sentencepiece_driver"

say "installing the npm peers into $peers/node"
mkdir -p "$peers/node"
[[ -f $peers/node/package.json ]] || echo '{"private": true}' >"$peers/node/package.json"
npm install --prefix "$peers/node" --no-audit --no-fund --silent \
  tokenizers@0.23.2 tiktoken@1.0.22 >&2
export NODE_PATH=$peers/node/node_modules
have_tiktoken=1
if ! node -e "require('tiktoken').get_encoding('cl100k_base').free()" 2>/dev/null; then
  have_tiktoken=0
  say "tiktoken's cl100k_base encoding is not available offline: its column is left out"
fi

# ---- measuring ---------------------------------------------------------------
# Large malloc blocks on transparent huge pages, for every process alike:
# fewer page faults when tens of megabytes of ids are written.
export GLIBC_TUNABLES=glibc.malloc.hugetlb=1
core=$(($(nproc) - 1))
results=$peers/results.tsv
: >"$results"

# The set being measured ("one" or "all") and how its processes start.
set_name=one
pin=()
one_thread() {
  set_name=one
  pin=(taskset -c "$core")
  export RAYON_NUM_THREADS=1 TOKENIZERS_PARALLELISM=false OMP_NUM_THREADS=1
}
all_threads() {
  set_name=all
  pin=()
  unset RAYON_NUM_THREADS OMP_NUM_THREADS
  export TOKENIZERS_PARALLELISM=true
}

# record TASK TOOL SECONDS RSS_KB (under the current set)
record() { printf '%s\t%s\t%s\t%s\t%s\n' "$set_name" "$@" >>"$results"; }

# Runs one of our benchmarks; records its real time and peak RSS counter.
ours() {
  local task=$1 filter=$2 json
  json=$("${pin[@]}" "$bench" --benchmark_filter="^${filter}(/iterations:1)?(/real_time)?\$" \
    --benchmark_format=json 2>/dev/null)
  python3 -c '
import json, sys
data = json.loads(sys.stdin.read())
runs = [b for b in data["benchmarks"] if b.get("run_type") == "iteration"]
if not runs or runs[0].get("error_occurred"):
    sys.exit("no result for " + sys.argv[1])
b = runs[0]
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
rss = b.get("peak_rss_mb", -1)
print("%.6f\t%d" % (b["real_time"] * scale, rss * 1024 if rss >= 0 else -1))
' "$filter" <<<"$json" | {
    IFS=$'\t' read -r seconds rss
    record "$task" lumeth "$seconds" "$rss"
  }
}

# Runs a peer driver under /usr/bin/time; records its own timing and the
# process's peak RSS.
peer() {
  local task=$1 tool=$2 log
  shift 2
  log=$(mktemp)
  if ! "${pin[@]}" /usr/bin/time -f 'rss_kb=%M' "$@" >"$log.out" 2>"$log"; then
    say "$tool failed on $task:"
    tail -n 5 "$log" >&2
    rm -f "$log" "$log.out"
    return 0
  fi
  local seconds rss
  seconds=$(sed -n 's/^seconds=\([0-9.]*\).*/\1/p' "$log.out")
  rss=$(sed -n 's/^rss_kb=\([0-9]*\)/\1/p' "$log" | tail -n 1)
  record "$task" "$tool" "$seconds" "$rss"
  rm -f "$log" "$log.out"
}

spm=$peers/sentencepiece_driver
nodedrv=$root/bench/peers/node_driver.cjs

for ((rep = 1; rep <= repetitions; ++rep)); do
  one_thread
  say "repetition $rep of $repetitions, one thread: training"
  ours "train 32000, 20 MB" "BM_TrainBpe/corpus_mb:20/vocabulary:32000"
  peer "train 32000, 20 MB" sentencepiece "$spm" train "$corpus" 32000 "$peers/spm32000"
  ours "train 30000, 20 MB" "BM_TrainBpe/corpus_mb:20/vocabulary:30000"
  peer "train 30000, 20 MB" tokenizers node "$nodedrv" tokenizers-train "$corpus" \
    "$peers/tokenizers30000.json"
  ours "train 8000, 1 MB" "BM_TrainBpe/corpus_mb:1/vocabulary:8000"
  peer "train 8000, 1 MB" sentencepiece "$spm" train "$LUMETH_CORPUS_DIR/corpus-1m.txt" 8000 \
    "$peers/spm8000"

  say "repetition $rep of $repetitions, one thread: encoding"
  ours "encode 20 MB line by line (32000)" "BM_SubwordEncodeLineByLine/vocabulary:32000"
  peer "encode 20 MB line by line (32000)" sentencepiece \
    "$spm" encode "$peers/spm32000.model" "$corpus" lines
  if ((have_tiktoken)); then
    peer "encode 20 MB line by line (32000)" tiktoken node "$nodedrv" tiktoken-encode "$corpus" lines
  fi
  ours "encode 20 MB line by line (30000)" "BM_SubwordEncodeLineByLine/vocabulary:30000"
  peer "encode 20 MB line by line (30000)" tokenizers node "$nodedrv" tokenizers-encode \
    "$peers/tokenizers30000.json" "$corpus" lines
  ours "encode 20 MB whole (32000)" "BM_SubwordEncodeWhole/vocabulary:32000"
  if ((have_tiktoken)); then
    peer "encode 20 MB whole (32000)" tiktoken node "$nodedrv" tiktoken-encode "$corpus" whole
  fi
  ours "encode 20 MB whole (30000)" "BM_SubwordEncodeWhole/vocabulary:30000"
  peer "encode 20 MB whole (30000)" tokenizers node "$nodedrv" tokenizers-encode \
    "$peers/tokenizers30000.json" "$corpus" whole

  all_threads
  say "repetition $rep of $repetitions, all threads: training"
  ours "train 32000, 20 MB" "BM_TrainBpeThreads/vocabulary:32000/threads:2"
  peer "train 32000, 20 MB" sentencepiece "$spm" train "$corpus" 32000 "$peers/spm32000-all" \
    default-threads
  ours "train 30000, 20 MB" "BM_TrainBpeThreads/vocabulary:30000/threads:2"
  peer "train 30000, 20 MB" tokenizers node "$nodedrv" tokenizers-train "$corpus" \
    "$peers/tokenizers30000-all.json"

  say "repetition $rep of $repetitions, all threads: encoding"
  ours "encode 20 MB line by line (32000)" "BM_SubwordEncodeBatchThreads/vocabulary:32000/threads:2"
  peer "encode 20 MB line by line (32000)" sentencepiece \
    "$spm" encode "$peers/spm32000.model" "$corpus" lines
  if ((have_tiktoken)); then
    peer "encode 20 MB line by line (32000)" tiktoken node "$nodedrv" tiktoken-encode "$corpus" lines
  fi
  ours "encode 20 MB line by line (30000)" "BM_SubwordEncodeBatchThreads/vocabulary:30000/threads:2"
  peer "encode 20 MB line by line (30000)" tokenizers node "$nodedrv" tokenizers-encode \
    "$peers/tokenizers30000.json" "$corpus" batch
  ours "encode 20 MB whole (32000)" "BM_SubwordEncodeThreads/vocabulary:32000/threads:2"
  if ((have_tiktoken)); then
    peer "encode 20 MB whole (32000)" tiktoken node "$nodedrv" tiktoken-encode "$corpus" whole
  fi
  ours "encode 20 MB whole (30000)" "BM_SubwordEncodeThreads/vocabulary:30000/threads:2"
  peer "encode 20 MB whole (30000)" tokenizers node "$nodedrv" tokenizers-encode \
    "$peers/tokenizers30000.json" "$corpus" whole
done

# ---- the table -----------------------------------------------------------------
for set_name in one all; do
python3 - "$results" "$(stat -c %s "$corpus")" "$set_name" <<'EOF'
import statistics, sys
from collections import defaultdict

path, corpus_bytes, wanted = sys.argv[1], int(sys.argv[2]), sys.argv[3]
print("One thread each:" if wanted == "one" else
      "All threads: Lumeth with 2, the peers at their default thread counts:")
print()
times, rss, tasks, tools = defaultdict(list), defaultdict(list), [], []
for line in open(path):
    set_name, task, tool, seconds, kb = line.rstrip("\n").split("\t")
    if set_name != wanted or not seconds:
        continue
    if task not in tasks:
        tasks.append(task)
    if tool not in tools:
        tools.append(tool)
    times[task, tool].append(float(seconds))
    if int(kb) >= 0:
        rss[task, tool].append(int(kb))

order = ["lumeth", "sentencepiece", "tokenizers", "tiktoken"]
tools = [t for t in order if t in tools]
print("| task | " + " | ".join(tools) + " |")
print("|---|" + "---|" * len(tools))
for task in tasks:
    ours = times.get((task, "lumeth"))
    base = statistics.median(ours) if ours else None
    cells = []
    for tool in tools:
        runs = times.get((task, tool))
        if not runs:
            cells.append("")
            continue
        median = statistics.median(runs)
        cell = "%.3f s" % median
        if task.startswith("encode"):
            cell += " (%.1f MB/s)" % (corpus_bytes / median / 1e6)
        if tool != "lumeth" and base:
            cell += ", x%.1f" % (median / base)
        if task.startswith("train") and rss.get((task, tool)):
            cell += ", %.0f MB RSS" % (max(rss[task, tool]) / 1024)
        cells.append(cell)
    print("| " + task + " | " + " | ".join(cells) + " |")
print()
print("Medians of %d repetition(s); x = peer time / Lumeth time." %
      max(len(v) for v in times.values()))
print()
EOF
done
