#!/usr/bin/env bash
# A single-node Slurm on this machine for the workflow's tests:
#
#   scripts/slurm-local.sh start DIR   # munged, slurmctld, slurmd; config in DIR
#   SLURM_CONF=DIR/slurm.conf sbatch ...
#   scripts/slurm-local.sh stop DIR    # ends exactly the daemons start began
#
# Everything lives in DIR (created, or empty): slurm.conf, the munge key and
# socket, state, spool, logs and DIR/pids, the process ids start recorded.
# The controller and the node are 127.0.0.1 and listen there only; no
# cgroups, no accounting. Debian's slurm-wlm and munge; needs root (slurmd
# starts jobs as their users).
#
# Exit status: 0 done; 3 Slurm cannot run on this machine (not root, not
# installed, a host name that is not a loopback address, slurmd does not
# come up; the reason on standard error); 1 any other failure. Nothing is
# left running when start fails.
set -uo pipefail

die() { echo "slurm-local: $*" >&2; exit 1; }
cannot() { echo "slurm-local: cannot run here: $*" >&2; stop_recorded; exit 3; }
fail() { echo "slurm-local: $*" >&2; stop_recorded; exit 1; }

# Ends each recorded daemon that is still the program it was (a process id
# may have been reused), politely first; forgets it then.
stop_recorded() {
  [ -f "$dir/pids" ] || return 0
  local name pid
  while read -r name pid; do
    if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "$name"; then
      kill -TERM "$pid" 2>/dev/null
    fi
  done <"$dir/pids"
  for _ in $(seq 50); do
    local alive=0
    while read -r name pid; do
      [ -d "/proc/$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$name" \
        && alive=1
    done <"$dir/pids"
    [ "$alive" -eq 0 ] && break
    sleep 0.2
  done
  while read -r name pid; do
    [ -d "/proc/$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$name" \
      && kill -KILL "$pid" 2>/dev/null
  done <"$dir/pids"
  rm -f "$dir/pids"
  if [ -f "$dir/munge-dir" ]; then
    rm -rf -- "$(cat "$dir/munge-dir")"
    rm -f "$dir/munge-dir"
  fi
}

# A TCP port nobody listens on, from the loopback's ephemeral range.
free_port() {
  /usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Slurm binds to the address of this host's name (CommunicationParameters
# below); it must be a loopback address, so that nothing listens beyond it.
check_host() {
  [ "$(id -u)" -eq 0 ] || cannot "needs root (slurmd starts jobs as their users)"
  for p in munged slurmctld slurmd sbatch sinfo; do
    command -v "$p" >/dev/null || cannot "$p is not installed (Debian: slurm-wlm, munge)"
  done
  host=$(hostname -s)
  addr=$(getent ahostsv4 "$host" | awk 'NR == 1 { print $1 }')
  case "$addr" in
    127.*) ;;
    *) cannot "this host's name $host resolves to ${addr:-nothing}, not a loopback" \
              "address: Slurm's daemons would listen beyond 127.0.0.1" ;;
  esac
}

write_config() {
  local cpus mem
  cpus=$(nproc)
  mem=$(awk '/^MemTotal:/ { print int($2 / 1024 * 0.8) }' /proc/meminfo)
  mkdir -p "$dir/state" "$dir/spool"
  cat >"$dir/slurm.conf" <<EOF
# A single-node cluster for tests (scripts/slurm-local.sh)
ClusterName=korvel
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
SlurmUser=root
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/builtin
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=korvel Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
}

# Starts a daemon in the foreground of a background job and records it.
launch() {
  local name=$1
  shift
  "$@" >>"$dir/$name.out" 2>&1 &
  echo "$name $!" >>"$dir/pids"
}

# munged wants every directory above its socket searchable by all users,
# which DIR need not be: the socket gets a directory of its own in /tmp.
make_socket_dir() {
  local d
  d=$(mktemp -d /tmp/korvel-munge.XXXXXX) || die "cannot create a directory in /tmp"
  chmod 711 "$d"
  echo "$d" >"$dir/munge-dir"
  socket=$d/munge.socket
}

start_munge() {
  head -c 1024 /dev/urandom >"$dir/munge.key"
  chmod 400 "$dir/munge.key"
  launch munged munged --foreground --socket="$socket" --key-file="$dir/munge.key" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munge.seed"
  for _ in $(seq 50); do
    [ -S "$socket" ] && return 0
    sleep 0.1
  done
  fail "munged did not start: $(tail -q -n 1 "$dir/munged.out" 2>/dev/null)"
}

# Waits until the node is idle, or says why it is not.
wait_idle() {
  local state=""
  for _ in $(seq 60); do
    state=$(SLURM_CONF=$dir/slurm.conf sinfo -h -o %T 2>/dev/null)
    [ "$state" = idle ] && return 0
    sleep 0.5
  done
  cannot "slurmd did not come up (node state '${state:-unknown}'): " \
         "$(grep -h -i 'error\|fatal' "$dir/slurmd.log" "$dir/slurmd.out" 2>/dev/null | tail -n 1)"
}

# The daemons' ports must be bound to 127.0.0.1 only.
check_listening() {
  local ports bad
  ports=$(sed -n 's/^Slurm\(ctld\|d\)Port=//p' "$dir/slurm.conf")
  for p in $ports; do
    bad=$(ss -Hltn "sport = :$p" | awk '{ print $4 }' | grep -v '^127\.' || true)
    [ -z "$bad" ] || cannot "a daemon listens on $bad, not on the loopback only"
  done
}

start() {
  check_host
  mkdir -p "$dir" || die "$dir: cannot create it"
  [ -z "$(ls -A "$dir")" ] || die "$dir: not empty; give a new directory"
  chmod 700 "$dir"
  make_socket_dir
  write_config
  start_munge
  launch slurmctld slurmctld -D -i -f "$dir/slurm.conf"
  launch slurmd slurmd -D -f "$dir/slurm.conf" -N "$host"
  wait_idle
  check_listening
  echo "slurm-local: running; SLURM_CONF=$dir/slurm.conf; stop with: $0 stop $dir"
}

[ $# -eq 2 ] || die "usage: slurm-local.sh start|stop DIR"
dir=$(realpath -m -- "$2")
case "$1" in
  start) start ;;
  stop) stop_recorded ;;
  *) die "usage: slurm-local.sh start|stop DIR" ;;
esac
