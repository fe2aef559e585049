#!/usr/bin/env bash
# avahi_netns.sh [--avahi-later] [--syslog] COMMAND...: runs COMMAND inside a throw-away network
# namespace that holds both ends of a veth pair (link-local addresses), with a private system bus
# and an Avahi daemon that uses only those two interfaces. COMMAND sees DBUS_SYSTEM_BUS_ADDRESS
# pointing at that bus.
#   --avahi-later  the daemon is not started: COMMAND starts it by running $KELVO_AVAHI_START,
#                  which returns once the daemon runs.
#   --syslog       COMMAND runs with a /dev/log of its own leading to $KELVO_SYSLOG_SOCKET, a
#                  datagram socket path that COMMAND binds to read what its children log.
# Everything is torn down afterwards. Exit 77 (with a "skip:" line) when this machine cannot do it.
set -u

skip() { echo "skip: $*"; exit 77; }

# Starts the daemon in the namespace (its pid in $work/avahi.pid) and waits until it runs.
start_avahi() {
  # A mount namespace of its own keeps the daemon's pid file away from any system daemon's.
  mkdir -p /run/avahi-daemon
  ip netns exec "$ns" unshare -m sh -c \
    'mount -t tmpfs tmpfs /run/avahi-daemon && exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$0"' \
    "$work/avahi.conf" >>"$work/avahi.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$work/avahi.pid"
  # Ready once the daemon answers on the bus and reports the running state (2).
  for _ in $(seq 1 300); do  # up to 30 s: a loaded machine probes names slowly
    if dbus-send --system --print-reply --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState \
        2>/dev/null | grep -q "int32 2"; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "avahi-daemon did not start:"; cat "$work/avahi.log" "$work/dbus.log"
  return 1
}

if [ "${1:-}" = "--start-avahi" ]; then  # $KELVO_AVAHI_START, run by the command
  work=$KELVO_NETNS_WORK
  ns=$KELVO_NETNS_NAME
  start_avahi
  exit $?
fi

avahi_later=""
syslog=""
while [ $# -gt 0 ]; do
  case "$1" in
    --avahi-later) avahi_later=1; shift ;;
    --syslog) syslog=1; shift ;;
    *) break ;;
  esac
done

[ "$(id -u)" = 0 ] || skip "needs root for a network namespace"
for tool in ip dbus-daemon dbus-send avahi-daemon unshare; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

ns="kvavahi$$"
work=$(mktemp -d /tmp/kelvo-avahi-XXXXXX)
dbus_pid=""

cleanup() {
  if [ -s "$work/avahi.pid" ]; then
    local pid
    pid=$(cat "$work/avahi.pid")
    kill "$pid" 2>/dev/null
    # Started by the command, it may not be our child: wait for it to go.
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  [ -n "$dbus_pid" ] && kill "$dbus_pid" 2>/dev/null && wait "$dbus_pid" 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns" 2>"$work/err" || skip "ip netns add failed: $(cat "$work/err")"
ip -n "$ns" link add kv0 type veth peer name kv1 || skip "cannot make a veth pair"
ip -n "$ns" addr add 169.254.77.1/16 dev kv0
ip -n "$ns" addr add 169.254.77.2/16 dev kv1
for dev in lo kv0 kv1; do ip -n "$ns" link set "$dev" up; done

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
dbus_pid=$!
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
# The Avahi daemon gives up at once when the bus does not answer yet: wait for it first.
for _ in $(seq 1 300); do
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1 && break
  kill -0 "$dbus_pid" 2>/dev/null || break
  sleep 0.1
done

cat >"$work/avahi.conf" <<EOF
[server]
host-name=kelvo-test
allow-interfaces=kv0,kv1
use-ipv4=yes
use-ipv6=no
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF

export KELVO_NETNS_WORK="$work" KELVO_NETNS_NAME="$ns"
export KELVO_AVAHI_START="$(realpath "$0") --start-avahi"
if [ -z "$avahi_later" ]; then
  start_avahi || exit 1
fi

if [ -z "$syslog" ]; then
  ip netns exec "$ns" env KELVO_AVAHI_INSIDE=1 "$@"
  exit $?
fi
# /dev as an overlay in the command's own mount namespace: /dev/log can lead to the command's
# socket without touching the machine's /dev.
mkdir -p "$work/dev-up" "$work/dev-work" "$work/shm" "$work/pts"
export KELVO_SYSLOG_SOCKET="$work/syslog"
ip netns exec "$ns" unshare -m --propagation private sh -c '
  w=$KELVO_NETNS_WORK
  { mount --bind /dev/shm "$w/shm" && mount --bind /dev/pts "$w/pts" &&
    mount -t overlay overlay -o "lowerdir=/dev,upperdir=$w/dev-up,workdir=$w/dev-work" /dev &&
    mount --move "$w/shm" /dev/shm && mount --move "$w/pts" /dev/pts &&
    ln -s "$KELVO_SYSLOG_SOCKET" /dev/log; } || { echo "skip: cannot give the command a /dev/log"; exit 77; }
  exec env KELVO_AVAHI_INSIDE=1 "$@"' sh "$@"
