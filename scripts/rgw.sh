#!/usr/bin/env bash
# A throw-away single-node Ceph RGW (S3) on 127.0.0.1, for the tests and benchmarks of the S3
# vault. Everything lives under one scratch directory; daemons run in the foreground of
# background jobs and are stopped by the process ids recorded there, never by name.
#
#   rgw.sh start DIR         bring up mon, osd and radosgw; make a user with known keys, a
#                            versioned bucket and an unversioned one; write DIR/env
#   rgw.sh env DIR           print the environment of a running store (sh syntax)
#   rgw.sh stop DIR          stop the daemons and remove DIR
#   rgw.sh kill-gateway DIR  SIGKILL radosgw only (a store dying mid-transfer)
#   rgw.sh start-gateway DIR start radosgw again on the same port
#
# DIR/env sets AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_REGION, KDRCACHED_S3_ENDPOINT
# (what kdrcached and kdrvault read; KDR_S3_ENDPOINT holds the same for scripts),
# KDR_S3_BUCKET (versioned) and KDR_S3_PLAIN_BUCKET (without versioning).
set -euo pipefail

cmd=${1:-}
dir=${2:-}
if [ -z "$cmd" ] || [ -z "$dir" ]; then
  echo "usage: rgw.sh start|stop|env|kill-gateway|start-gateway DIR" >&2
  exit 2
fi

access=KDRTESTACCESSKEY0001
secret=kdrtestsecretkey0000000000000000000000001
bucket=kdr-vault
plain=kdr-plain

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

alive() {  # pid: running and not a zombie
  local st
  st=$(ps -o stat= -p "$1" 2>/dev/null || true)
  [ -n "$st" ] && [[ "$st" != Z* ]]
}

wait_gone() {  # pid seconds
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    alive "$1" || return 0
    sleep 0.1
  done
  return 1
}

stop_pid() {  # name
  local f="$dir/$1.pid"
  [ -f "$f" ] || return 0
  local pid
  pid=$(cat "$f")
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    wait_gone "$pid" 10 || { kill -KILL "$pid" 2>/dev/null || true; wait_gone "$pid" 5 || true; }
  fi
  rm -f "$f"
}

s3() {  # method path [curl args...]
  local m=$1 p=$2
  shift 2
  curl -sS -f -X "$m" --aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret" \
    -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@" "http://127.0.0.1:$(cat "$dir/rgw.port")$p"
}

start_gateway() {
  local port
  port=$(cat "$dir/rgw.port")
  setsid radosgw -f -c "$dir/ceph.conf" -n client.rgw.a >>"$dir/log/radosgw.out" 2>&1 </dev/null &
  echo $! >"$dir/radosgw.pid"
  local i
  for ((i = 0; i < 600; i++)); do
    if curl -s -o /dev/null "http://127.0.0.1:$port/"; then return 0; fi
    alive "$(cat "$dir/radosgw.pid")" || { echo "rgw.sh: radosgw ended; see $dir/log" >&2; return 1; }
    sleep 0.1
  done
  echo "rgw.sh: radosgw did not answer on port $port" >&2
  return 1
}

case "$cmd" in
start)
  trap 'echo "rgw.sh: start failed (line $LINENO); logs in $dir/log" >&2' ERR
  for t in ceph-mon ceph-osd radosgw radosgw-admin monmaptool; do
    command -v "$t" >/dev/null || { echo "rgw.sh: $t is missing (scripts/install-deps.sh)" >&2; exit 1; }
  done
  if [ -f "$dir/radosgw.pid" ] && alive "$(cat "$dir/radosgw.pid")"; then
    echo "rgw.sh: already running in $dir" >&2
    exit 0
  fi
  mkdir -p "$dir"/{run,log,mon,osd,rgw}
  dir=$(cd "$dir" && pwd)
  monport=$(free_port)
  port=$(free_port)
  echo "$port" >"$dir/rgw.port"
  fsid=$(python3 -c 'import uuid; print(uuid.uuid4())')
  cat >"$dir/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$monport
ms bind msgr1 = false
run dir = $dir/run
admin socket = $dir/run/\$name.asok
log file = $dir/log/\$name.log
pid file = $dir/run/\$name.pidfile
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc secure
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
osd crush chooseleaf type = 0
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon data avail warn = 2
mon data avail crit = 1
paxos propose interval = 0.1
paxos min wait = 0.01
osd op num shards = 1
osd objectstore = bluestore
bluestore block create = true
bluestore block size = 21474836480
bluestore cache autotune = false
bluestore cache size = 134217728
osd memory target = 939524096
mon warn on pool no redundancy = false
[mon.a]
mon data = $dir/mon
[osd.0]
osd data = $dir/osd
bluestore block path = $dir/osd.block
[client.rgw.a]
rgw frontends = beast endpoint=127.0.0.1:$port tcp_nodelay=1
rgw data = $dir/rgw
rgw thread pool size = 64
EOF
  monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$monport]" "$dir/monmap" >/dev/null
  ceph-mon -c "$dir/ceph.conf" -i a --mkfs --monmap "$dir/monmap" >>"$dir/log/mkfs.out" 2>&1
  setsid ceph-mon -f -c "$dir/ceph.conf" -i a >>"$dir/log/mon.out" 2>&1 </dev/null &
  echo $! >"$dir/mon.pid"
  ceph -c "$dir/ceph.conf" --connect-timeout 30 osd create >/dev/null
  ceph-osd -c "$dir/ceph.conf" -i 0 --mkfs >>"$dir/log/mkfs.out" 2>&1
  setsid ceph-osd -f -c "$dir/ceph.conf" -i 0 >>"$dir/log/osd.out" 2>&1 </dev/null &
  echo $! >"$dir/osd.pid"
  for ((i = 0; i < 600; i++)); do
    if ceph -c "$dir/ceph.conf" osd dump 2>/dev/null | grep -q '^osd.0 up'; then break; fi
    sleep 0.1
  done
  start_gateway
  radosgw-admin -c "$dir/ceph.conf" user create --uid=kdr --display-name=kdr \
    --access-key="$access" --secret-key="$secret" >/dev/null
  s3 PUT "/$bucket" >/dev/null
  s3 PUT "/$bucket?versioning=" -H "Content-Type: application/xml" --data-binary \
    '<VersioningConfiguration xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><Status>Enabled</Status></VersioningConfiguration>' >/dev/null
  s3 PUT "/$plain" >/dev/null
  cat >"$dir/env" <<EOF
export AWS_ACCESS_KEY_ID=$access
export AWS_SECRET_ACCESS_KEY=$secret
export AWS_REGION=us-east-1
export KDRCACHED_S3_ENDPOINT=http://127.0.0.1:$port
export KDR_S3_ENDPOINT=http://127.0.0.1:$port
export KDR_S3_BUCKET=$bucket
export KDR_S3_PLAIN_BUCKET=$plain
EOF
  echo "rgw.sh: S3 on http://127.0.0.1:$port (bucket $bucket), state in $dir" >&2
  ;;
env)
  cat "$dir/env"
  ;;
kill-gateway)
  pid=$(cat "$dir/radosgw.pid")
  kill -KILL "$pid" 2>/dev/null || true
  wait_gone "$pid" 10
  ;;
start-gateway)
  start_gateway
  ;;
stop)
  [ -d "$dir" ] || exit 0
  stop_pid radosgw
  stop_pid osd
  stop_pid mon
  rm -rf "$dir"
  ;;
*)
  echo "rgw.sh: unknown command $cmd" >&2
  exit 2
  ;;
esac
