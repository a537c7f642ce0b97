#!/usr/bin/env bash
# check_slurm.sh APPS_DIR SOURCE_DIR: submits examples/slurm/pairfit-array.sh with sbatch to a
# one-node Slurm cluster of this host that it starts as root (munged, slurmctld, slurmd, all
# on loopback, with their configuration, state, logs and munge key in a temporary folder),
# checks that every task ended with status 0 and left the files of a lone run of its folder,
# and stops the daemons it started. Exits 77 (skipped) where the daemons cannot be started.
set -euo pipefail
apps=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
export PATH="$apps:$PATH"
work=$(mktemp -d)
chmod 755 "$work"
daemons=()
job=

logs() {
    local log
    for log in "$work"/log/*; do
        [ -s "$log" ] && { echo "== $log"; tail -n 15 "$log"; }
    done >&2
}
fail() { echo "FAIL: $*" >&2; logs; exit 1; }
skip() { echo "SKIP: $*" >&2; [ -d "$work/log" ] && logs; exit 77; }
stop() {
    local pid tries
    set +e
    [ -n "$job" ] && timeout 10 scancel "$job" 2> /dev/null
    for tries in $(seq 1 20); do
        [ -z "$job" ] || [ -z "$(timeout 5 squeue -h -j "$job" 2> /dev/null)" ] && break
        sleep 0.5
    done
    for pid in "${daemons[@]}"; do
        kill "$pid" 2> /dev/null || continue
        for tries in $(seq 1 20); do
            kill -0 "$pid" 2> /dev/null || break
            sleep 0.5
        done
        kill -KILL "$pid" 2> /dev/null || true
        wait "$pid" 2> /dev/null || true
    done
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP

[ "$(id -u)" = 0 ] || skip "slurmd must be started as root"
for tool in mungekey munged slurmctld slurmd sbatch sinfo squeue scontrol scancel /usr/bin/python3; do
    command -v "$tool" > /dev/null || skip "$tool is missing (tools/install_deps.sh installs it)"
done
source "$(dirname "$0")/series.sh"
make_series "$source_dir" "$work" slurm

# Two ports that nothing listens on, picked by the system on loopback.
read -r ctld_port node_port < <(/usr/bin/python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
host=$(hostname -s)
node=$(slurmd -C | grep "^NodeName=$host ") || skip "slurmd -C does not describe $host"
mkdir -p "$work"/{munge,state,spool,log}
touch "$work/plugstack.conf"
export SLURM_CONF="$work/slurm.conf"
cat > "$SLURM_CONF" << EOF
ClusterName=pairfit-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$node_port
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
PlugStackConfig=$work/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF

mungekey --create --keyfile="$work/munge/key" || skip "mungekey cannot make a key"
munged -F -f --socket="$work/munge/socket" --key-file="$work/munge/key" \
    --pid-file="$work/munge/pid" --seed-file="$work/munge/seed" 2> "$work/log/munged" &
daemons=($!)
slurmctld -D -i -f "$SLURM_CONF" 2> "$work/log/slurmctld" &
daemons=($! "${daemons[@]}")
slurmd -D -N "$host" -f "$SLURM_CONF" 2> "$work/log/slurmd" &
daemons=($! "${daemons[@]}")
deadline=$((SECONDS + 60))
until [ "$(timeout 10 sinfo -h -n "$host" -o %T 2> /dev/null)" = idle ]; do
    for pid in "${daemons[@]}"; do
        kill -0 "$pid" 2> /dev/null || skip "a Slurm or munge daemon stopped while starting"
    done
    [ "$SECONDS" -lt "$deadline" ] || skip "the node $host did not become idle within 60 s"
    sleep 1
done

# The tasks run where the folders list says, with this PATH; their logs go to the slurm folder.
ls -d "$work"/slurm/*/ > "$work/folders.txt"
count=$(wc -l < "$work/folders.txt")
job=$(cd "$work/slurm" && sbatch --parsable --array=1-"$count" \
    "$source_dir/examples/slurm/pairfit-array.sh" "$work/folders.txt") || fail "sbatch refused the array"
deadline=$((SECONDS + 180))
until [ -z "$(timeout 10 squeue -h -j "$job")" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "job $job did not finish within 180 s"
    sleep 1
done
states=$(timeout 10 scontrol -o show job "$job" |
    sed -n 's/.* ArrayTaskId=\([0-9]*\) .* JobState=\([A-Z]*\) .* ExitCode=\([0-9:]*\) .*/\1 \2 \3/p' | sort -n) ||
    fail "scontrol cannot show job $job"
[ "$(grep -c ' COMPLETED 0:0$' <<< "$states")" = "$count" ] ||
    fail "not every task of job $job completed with status 0 (task, state, status):"$'\n'"$states"
for task in $(seq 1 "$count"); do
    grep -q "^pairfit-array: task $task, pairfit4 in " "$work/slurm/pairfit-${job}_$task.log" ||
        fail "task $task left no log of its run"
done
same_as_lone "$work" slurm
echo "$count folders: the tasks of Slurm job $job equal lone runs"
