# shellcheck shell=bash disable=SC2034  # the ZOV_* results are for the caller
# Test agents on loopback for the demo: snmpsim serving printer recordings and
# snmptrapd receiving traps, each on a free port, stopped by process id.
# Source this file (bash). Functions print a reason on standard error and
# return non-zero when they fail; zov_stop_agents stops whatever they started.

ZOV_AGENT_PIDS=()

# A UDP port free on ADDRESS right now.
zov_free_udp_port() {
  python3 - "$1" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
print(s.getsockname()[1])
EOF
}

# Wait up to about five seconds for COMMAND to succeed while PID lives.
zov_wait_for() {
  local pid=$1 i
  shift
  for i in $(seq 50); do
    "$@" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# zov_start_snmpsim DATA_DIR STATE_DIR
# Serves every DATA_DIR/*.snmprec on 127.0.0.1, the recording chosen by the
# community (its file name without .snmprec). As root snmpsim runs as nobody,
# so DATA_DIR must be readable by nobody; its index cache goes to STATE_DIR.
# Sets ZOV_SNMPSIM_PORT and ZOV_SNMPSIM_PID.
zov_start_snmpsim() {
  local data=$1 state=$2 port first
  first=$(find "$data" -maxdepth 1 -name '*.snmprec' -printf '%f\n' | sort | head -n 1)
  if [ -z "$first" ]; then
    echo "snmpsim: no recordings in $data" >&2
    return 1
  fi
  mkdir -p "$state/snmpsim-cache"
  port=$(zov_free_udp_port 127.0.0.1) || return 1
  local args=(--data-dir="$data" --agent-udpv4-endpoint="127.0.0.1:$port"
              --cache-dir="$state/snmpsim-cache" --logging-method=null)
  if [ "$(id -u)" = 0 ]; then
    chown nobody:nogroup "$state/snmpsim-cache"
    args+=(--process-user=nobody --process-group=nogroup)
  fi
  snmpsimd "${args[@]}" >"$state/snmpsim.out" 2>&1 &
  ZOV_SNMPSIM_PID=$!
  ZOV_AGENT_PIDS+=("$ZOV_SNMPSIM_PID")
  if ! zov_wait_for "$ZOV_SNMPSIM_PID" snmpget -v1 -r0 -t0.3 -c "${first%.snmprec}" \
         "127.0.0.1:$port" 1.3.6.1.2.1.1.2.0; then
    echo "snmpsim did not answer on 127.0.0.1:$port; the end of its output:" >&2
    tail -n 15 "$state/snmpsim.out" >&2
    return 1
  fi
  ZOV_SNMPSIM_PORT=$port
}

# The IPv4 address the local host name resolves to, where the plug-in sends
# its traps; fails, saying why on standard error, unless it is a loopback
# address and the name fits the plug-in's 30-byte buffer.
zov_trap_address() {
  local host addr
  # uname -n is the same name, where the hostname program is not installed.
  host=$(hostname 2>/dev/null || uname -n)
  if [ "${#host}" -ge 30 ]; then
    echo "the host name '$host' has 30 characters or more: the plug-in sends no trap" >&2
    return 1
  fi
  # getent fails when the name does not resolve: that is an answer here.
  addr=$({ getent ahostsv4 "$host" || true; } | awk 'NR == 1 { print $1 }')
  case $addr in
    127.*) echo "$addr" ;;
    '') echo "the host name '$host' does not resolve (see /etc/hosts): the plug-in's traps go nowhere" >&2
        return 1 ;;
    *) echo "the host name '$host' resolves to $addr, not to a loopback address: the plug-in's traps would leave this machine" >&2
       return 1 ;;
  esac
}

# zov_start_snmptrapd STATE_DIR
# Receives traps on the address of the local host name, one line per trap in
# STATE_DIR/traps.txt, among snmptrapd's own messages:
#   TRAP enterprise|agent|generic|.specific|binding|binding...
# Sets ZOV_TRAPD_ADDRESS, ZOV_TRAPD_PORT, ZOV_TRAPD_PID and ZOV_TRAPD_OUT;
# on failure ZOV_TRAPD_WHY says why there is no receiver.
zov_start_snmptrapd() {
  local state=$1 addr port
  ZOV_TRAPD_WHY=
  mkdir -p "$state"
  if ! addr=$(zov_trap_address 2>"$state/trap-address.why"); then
    ZOV_TRAPD_WHY=$(cat "$state/trap-address.why")
    return 1
  fi
  if ! port=$(zov_free_udp_port "$addr"); then
    ZOV_TRAPD_WHY="no free UDP port on $addr"
    return 1
  fi
  mkdir -p "$state/snmptrapd"
  cat >"$state/snmptrapd.conf" <<'EOF'
disableAuthorization yes
[snmp] mibs :
[snmp] hexOutputLength 0
format1 TRAP %N|%a|%w|%q|%V|%v\n
EOF
  : >"$state/traps.txt"
  # Its persistent state goes to STATE_DIR, not to /var/lib/snmp.
  SNMP_PERSISTENT_DIR="$state/snmptrapd" snmptrapd -f -Lf "$state/traps.txt" -C \
    -c "$state/snmptrapd.conf" -n -On "udp:$addr:$port" >"$state/snmptrapd.out" 2>&1 &
  ZOV_TRAPD_PID=$!
  ZOV_AGENT_PIDS+=("$ZOV_TRAPD_PID")
  if ! zov_wait_for "$ZOV_TRAPD_PID" grep -q "NET-SNMP version" "$state/traps.txt"; then
    ZOV_TRAPD_WHY="snmptrapd did not start on $addr:$port: $(tail -n 3 "$state/traps.txt" "$state/snmptrapd.out" 2>/dev/null | tr '\n' ' ')"
    echo "$ZOV_TRAPD_WHY" >&2
    return 1
  fi
  ZOV_TRAPD_ADDRESS=$addr
  ZOV_TRAPD_PORT=$port
  ZOV_TRAPD_OUT=$state/traps.txt
}

# zov_write_nvsnmp_conf FILE PORT NAME=COMMUNITY...
# The SNMP library's per-printer lines: each printer NAME is reached at
# 127.0.0.1:PORT with COMMUNITY, that is, snmpsim's recording COMMUNITY.
zov_write_nvsnmp_conf() {
  local file=$1 port=$2 pair
  shift 2
  {
    echo "# printer name, then where the SNMP library reaches it"
    for pair in "$@"; do
      echo "${pair%%=*} peer=127.0.0.1:$port community=${pair#*=}"
    done
  } >"$file"
}

# zov_replace_recording SOURCE DATA_DIR COMMUNITY
# Replaces the recording COMMUNITY that snmpsim serves from DATA_DIR by a copy
# of SOURCE, in one rename. snmpsim rereads a file whose modification time
# (in whole seconds) changed, so the new file's time is at least a second
# later than the old one's.
zov_replace_recording() {
  local src=$1 data=$2 name=$3 old now
  local target=$data/$name.snmprec tmp=$data/.$name.new
  cp "$src" "$tmp" || return 1
  chmod 644 "$tmp"
  old=$(stat -c %Y "$target" 2>/dev/null || echo 0)
  now=$(date +%s)
  [ "$now" -gt "$old" ] || now=$((old + 1))
  touch -d "@$now" "$tmp" && mv -f "$tmp" "$target"
}

# Stops every agent started here, by process id: TERM, then KILL after two
# seconds.
zov_stop_agents() {
  local pid
  for pid in "${ZOV_AGENT_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 20); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  ZOV_AGENT_PIDS=()
}
