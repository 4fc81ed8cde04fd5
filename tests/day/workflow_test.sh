#!/bin/bash
# The campaign workflow on a generated campaign of three days (five stations on the first,
# cut into station groups and time windows; three on the others, one run each), run
#   local: by Snakemake on this machine (-j 2);
#   slurm: through a single-node Slurm cluster started here (munged, slurmctld and slurmd with
#          a generated slurm.conf in a temporary folder, stopped by their process ids at the end);
# and compared with obsquilt-day run by hand for each day: the NetCDF files value for value and
# attribute for attribute, the day pages byte for byte. The campaign summary is checked against
# the epochs counted in the generated files.
#   workflow_test.sh local|slurm BUILD_DIR SOURCE_DIR
# Exit 77 (skipped, with the reason) without Snakemake, netCDF4, or for slurm without the Slurm
# and MUNGE packages or root.
set -euo pipefail
mode=$1
bin=$(cd "$2" && pwd)
src=$(cd "$3" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
command -v snakemake >/dev/null || skip "snakemake is not installed (Debian package snakemake)"
/usr/bin/python3 -c "import netCDF4" 2>/dev/null || skip "python3-netcdf4 is not installed"
export PATH=$PATH:/usr/sbin:/sbin
if [ "$mode" = slurm ]; then
  [ "$(id -u)" -eq 0 ] || skip "not root: the test cluster's daemons run as root"
  for p in munged slurmctld slurmd sbatch sinfo scancel; do
    command -v "$p" >/dev/null || skip "$p is missing (Debian packages slurm-wlm and munge)"
  done
fi

work=$(mktemp -d /tmp/obsquilt-workflow.XXXXXX)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [ $status -ne 0 ] && [ -d "$work/slurm" ]; then
    tail -n 20 "$work"/slurm/*.log 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# The archive: archive/2026/DDD/ssssDDD0.26o.gz, days 147 to 149 (27 to 29 May).
make_day() {  # DOY DAY-OF-MONTH STATIONS EPOCHS SEED
  "$bin/obsquilt-simulate" --stations "$3" --epochs "$4" --seed "$5" "sim$1" >/dev/null
  mkdir -p "archive/2026/$1"
  for f in "sim$1"/*.26o; do
    b=$(basename "$f")
    sed -e "s/^ 26  5 27 / 26  5 $2 /" -e "s/^  2026     5    27/  2026     5    $2/" "$f" |
      gzip -n >"archive/2026/$1/${b:0:4}${1}0.26o.gz"
  done
}
make_day 147 27 5 240 1
make_day 148 28 3 40 2
make_day 149 29 3 40 3
limits=(--max-files 3 --max-values 30000)
cat >config.yaml <<CONFIG
archive: $work/archive
pattern: "{year}/{doy}/*.{yy}o.gz"
first: 2026-147
last: 2026-150
output: OUT
step: 30
max_files: 3
max_values: 30000
bin: $bin
CONFIG

# By hand, one day at a time.
for d in 147 148 149; do
  "$bin/obsquilt-day" -j 2 --day "2026-$d" "${limits[@]}" -o "hand/2026-$d" \
    "archive/2026/$d/"*.gz >/dev/null
done
runs=$(/usr/bin/python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); print(p["groups"], len(p["runs"]))' hand/2026-147/plan.json)
echo "2026-147: station groups and runs: $runs"
[ "${runs%% *}" -ge 2 ] && [ "${runs##* }" -ge 4 ] || { echo "FAIL: day 147 is not cut"; exit 1; }

start_cluster() {
  local s=$work/slurm host cpus mem ports
  mkdir -p "$s/state" "$s/spool"
  host=$(hostname -s)
  cpus=$(nproc)
  mem=$(awk '/MemTotal/ { print int($2 / 1024 * 0.8) }' /proc/meminfo)
  ports=$(/usr/bin/python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("", 0))
print(*[x.getsockname()[1] for x in s])')
  head -c 1024 /dev/urandom >"$s/munge.key"
  chmod 400 "$s/munge.key"
  munged -F --force --key-file="$s/munge.key" --socket="$s/munge.socket" \
    --pid-file="$s/munged.pid" --log-file="$s/munged.log" --seed-file="$s/munge.seed" &
  pids+=($!)
  cat >"$s/slurm.conf" <<CONF
ClusterName=obsquilttest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$s/munge.socket
SlurmctldPort=${ports% *}
SlurmdPort=${ports#* }
StateSaveLocation=$s/state
SlurmdSpoolDir=$s/spool
SlurmctldPidFile=$s/slurmctld.pid
SlurmdPidFile=$s/slurmd.pid
SlurmctldLogFile=$s/slurmctld.log
SlurmdLogFile=$s/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
MpiDefault=none
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF=$s/slurm.conf
  for _ in $(seq 50); do [ -S "$s/munge.socket" ] && break; sleep 0.1; done
  slurmctld -D -i -f "$SLURM_CONF" &
  pids+=($!)
  slurmd -D -f "$SLURM_CONF" &
  pids+=($!)
  for _ in $(seq 60); do
    [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && return 0
    sleep 1
  done
  echo "FAIL: the test cluster did not come up"
  sinfo || true
  return 1
}

mkdir -p "$mode"
cd "$mode"
if [ "$mode" = slurm ]; then
  start_cluster
  snakemake -s "$src/workflow/Snakefile" --configfile ../config.yaml \
    --profile "$src/workflow/profiles/slurm" --jobs 4 --quiet >snakemake.log 2>&1 ||
    { cat snakemake.log; tail -n 5 .snakemake/slurm-*.log 2>/dev/null; exit 1; }
  submitted=$(ls .snakemake/slurm-*.log | wc -l)
  echo "jobs run by Slurm: $submitted"
  [ "$submitted" -ge 8 ] || { echo "FAIL: fewer jobs went through Slurm than the workflow has"; exit 1; }
else
  snakemake -s "$src/workflow/Snakefile" --configfile ../config.yaml -j 2 --quiet \
    >snakemake.log 2>&1 || { cat snakemake.log; exit 1; }
fi
cd ..

failed=0
for d in 147 148 149; do
  day=2026-$d
  /usr/bin/python3 "$src/tests/day/ncsame.py" "hand/$day/$day.nc" "$mode/OUT/$day/$day.nc" || failed=1
  cmp "hand/$day/$day.html" "$mode/OUT/$day/$day.html" || failed=1
done

# The summary against the epochs of the generated files: share of the 2880 epochs of a day.
expected=$(
  printf 'station,2026-147,2026-148,2026-149,2026-150\n'
  for s in S001 S002 S003 S004 S005; do
    line=$s
    for d in 147:27 148:28 149:29 150:30; do
      f=sim${d%:*}/$(echo "$s" | tr S s)1470.26o
      if [ -f "$f" ]; then
        n=$(grep -c "^ 26  5 27 .\{16\}  0" "$f")
        line+=,$(awk -v n="$n" 'BEGIN { printf "%.1f", 100 * n / 2880 }')
      else
        line+=,
      fi
    done
    echo "$line"
  done
)
if [ "$expected" != "$(cat "$mode/OUT/completeness.csv")" ]; then
  echo "FAIL: completeness.csv"; diff <(echo "$expected") "$mode/OUT/completeness.csv" || true
  failed=1
fi
grep -q '<a href="2026-147/2026-147.html">2026-147</a>' "$mode/OUT/campaign.html" || {
  echo "FAIL: campaign.html has no link to the day page"; failed=1; }
grep -q '2026-150<br>no files' "$mode/OUT/campaign.html" || {
  echo "FAIL: campaign.html does not show the day without files"; failed=1; }
[ $failed -eq 0 ] && echo "$mode: the workflow's days equal obsquilt-day's; the summary holds"
exit $failed
