#!/usr/bin/env bash
# The Slurm job script on a real one-node cluster: installs Debian's Slurm and
# MUNGE, starts munged, slurmctld and slurmd in a temporary folder, submits
# cluster/workbench-batch.sbatch as an array of 4 tasks over 40 generated
# pictures, keeping stages B and D as PNG files with the measures' tables
# and the centre lines as SVG (--measure --vector svg), and checks every
# result folder against a single run and the union of the 4 reports against
# the inputs. The daemons it started are stopped by their process ids,
# whatever happens.
#
#   cluster/test-slurm.sh [PATH/TO/workbench-batch]   (default: build/workbench-batch)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
batch=$(realpath "${1:-build/workbench-batch}")
[ -x "$batch" ] || { echo "test-slurm: no program at $batch (build first)" >&2; exit 1; }

packages=(slurmctld slurmd slurm-client munge python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "test-slurm: installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# slurmctld and slurmd run as root, as a cluster's daemons do.
[ "$(id -u)" -eq 0 ] || { echo "test-slurm: must run as root" >&2; exit 1; }

work=$(mktemp -d /tmp/workbench-slurm.XXXXXX)
chmod 755 "$work"
pids=()
stop_daemons() {
  local status=$?
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ $status -ne 0 ]; then
    echo "test-slurm: FAILED; daemon logs:" >&2
    tail -n 20 "$work"/*.log >&2 2>/dev/null || true
  fi
  rm -rf "$work"
  exit $status
}
trap stop_daemons EXIT
trap 'exit 1' INT TERM

fail() { echo "test-slurm: $*" >&2; exit 1; }

# --- MUNGE, with its key, socket and files in the temporary folder.
mkdir -m 700 "$work/munge"
mungekey --create --keyfile="$work/munge/munge.key" >/dev/null 2>&1 ||
  { dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none; chmod 400 "$work/munge/munge.key"; }
socket=$work/munge/munge.socket
munged --foreground --force --key-file="$work/munge/munge.key" --socket="$socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munge/munged.seed" \
  >>"$work/munged.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "munged did not start"

# --- Slurm: this host's short name, its cores and memory.
host=$(hostname -s)
cpus=$(nproc)
memory=$(( $(awk '/^MemTotal:/ {print $2}' /proc/meminfo) / 1024 * 9 / 10 ))
port=$(( 20000 + $$ % 20000 ))
mkdir -p "$work/state" "$work/spool" "$work/jobs"
export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=workbench-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
ReturnToService=2
SlurmdTimeout=30
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=30 State=UP
CONF
slurmctld -D -i -f "$SLURM_CONF" >>"$work/slurmctld.log" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >>"$work/slurmd.log" 2>&1 &
pids+=($!)

started=$(date +%s)
until timeout 10 sinfo -h -N -o '%T' 2>/dev/null | grep -Eq '^(idle|mixed|allocated)'; do
  [ $(( $(date +%s) - started )) -lt 90 ] || fail "the cluster did not answer sinfo with an idle node within 90 s"
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || fail "a daemon ended (pid $pid)"; done
  sleep 1
done
echo "test-slurm: one-node cluster up in $(( $(date +%s) - started )) s: $(sinfo -h -N -o '%N %c CPUs %m MB %T')"

# --- 40 pictures in nested folders, odd sizes among them.
python3 - "$work/jobs/in" <<'PY'
import os, random, struct, sys
root = sys.argv[1]
rng = random.Random(9)
def bmp(path, w, h):
    stride = (3 * w + 3) & ~3
    rows = bytearray()
    for y in range(h):
        row = bytearray()
        for x in range(w):
            ink = (x // 5 + y // 7) % 4 == 0 or rng.random() < 0.05
            v = rng.randrange(10, 60) if ink else rng.randrange(200, 250)
            row += bytes((v, v, v))
        rows += row + bytes(stride - 3 * w)
    header = struct.pack('<2sIHHI', b'BM', 54 + len(rows), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(header + info + rows)
for i in range(40):
    w, h = [(47, 33), (1, 1), (160, 120), (33, 47), (200, 7)][i % 5]
    bmp(os.path.join(root, 'batch%d' % (i % 3), 'scan%02d.bmp' % i), w, h)
PY
cd "$work/jobs"
chmod -R a+rX "$work/jobs"

# --- The array job, one shard per task, all into one result folder; the
# options before OUT pass through to every task.
kept=(--keep B,D --format png --measure --vector svg)
WORKBENCH_BATCH=$batch timeout 600 sbatch --wait --array=0-3 --cpus-per-task=1 --time=10 \
  --output="$work/jobs/task-%a.log" "$root/cluster/workbench-batch.sbatch" "${kept[@]}" results in >"$work/jobs/sbatch.out" ||
  { cat "$work"/jobs/task-*.log >&2 || true; fail "the array job failed"; }
for k in 0 1 2 3; do
  grep -Eq '^[0-9]+ done, 0 skipped, 0 failed in ' "task-$k.log" || { cat "task-$k.log" >&2; fail "task $k did not finish"; }
done

# --- Checks: each result folder as a single run writes it, and the reports
# together name every input once.
"$batch" --out single "${kept[@]}" --jobs "$cpus" in >/dev/null
pictures=$(cd in && find . -name '*.bmp' | wc -l)
[ "$pictures" -eq 40 ] || fail "expected 40 pictures, found $pictures"
while IFS= read -r picture; do
  folder=${picture%.bmp}
  for file in B.png D.png branches.csv skeletons.csv skeleton.svg; do
    [ -f "results/$folder/$file" ] || fail "results/$folder/$file is missing"
    cmp -s "single/$folder/$file" "results/$folder/$file" || fail "results/$folder/$file differs from a single run"
  done
  [ -z "$(find "results/$folder" -name '[AC].*')" ] || fail "results/$folder holds a stage not kept"
  [ -f "results/$folder/.finished" ] || fail "results/$folder has no record"
done < <(cd in && find . -name '*.bmp' | sed 's|^\./||' | sort)
python3 - in results.reports <<'PY' || fail "the reports do not cover the inputs"
import json, os, sys
inputs = sorted(os.path.join(d, f) for d, _, fs in os.walk(sys.argv[1]) for f in fs)
seen = []
for k in range(4):
    with open(os.path.join(sys.argv[2], 'task-%d.jsonl' % k), 'rb') as f:
        lines = f.read().split(b'\n')
    assert lines[-1] == b'', 'report %d ends mid-line' % k
    for line in lines[:-1]:
        entry = json.loads(line)
        assert entry['status'] == 'done', entry
        assert entry['folder'] == 'results/' + entry['input'][len('in/'):-len('.bmp')], entry
        assert isinstance(entry['width'], int) and isinstance(entry['height'], int), entry
        assert entry['files'] == ['B.png', 'D.png', 'branches.csv', 'skeletons.csv', 'skeleton.svg'], entry
        assert isinstance(entry['branches'], int), entry
        seen.append(entry['input'])
    print('task %d: %d pictures' % (k, len(lines) - 1))
assert sorted(seen) == inputs, (len(seen), len(inputs))
PY
[ -z "$(find results -name '.workbench-*')" ] || fail "temporaries left in results"
# One line of the SVG a branch of the table, and some lines in all.
lines=0
for svg in results/*/*/skeleton.svg; do
  paths=$(grep -c '^<path ' "$svg" || true)
  branches=$(( $(wc -l <"${svg%/*}/branches.csv") - 1 ))
  [ "$paths" -eq "$branches" ] || fail "$svg has $paths lines for $branches branches"
  lines=$((lines + paths))
done
[ "$lines" -gt 0 ] || fail "no centre line in any skeleton.svg"
echo "test-slurm: passed: 4 array tasks, $pictures pictures, ${kept[*]}, every result folder as a single run writes it ($lines centre lines)"
