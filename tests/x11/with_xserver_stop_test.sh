#!/bin/sh
# kelvo-with-xserver stopped by SIGTERM stops its command and its X server with it.
# Usage: with_xserver_stop_test.sh WRAPPER. The wrapper writes to a file: a server it leaves behind
# must not hold the test runner's output open.
set -u
wrapper=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$wrapper" -- sh -c 'echo "$DISPLAY" > "$0.tmp" && mv "$0.tmp" "$0" && exec sleep 600' "$dir/display" >"$dir/out" 2>&1 &
pid=$!
# Wait for the command to have started (or for the wrapper to skip), up to 60 s.
n=0
while [ ! -s "$dir/display" ] && kill -0 "$pid" 2>/dev/null && [ $n -lt 600 ]; do sleep 0.1; n=$((n + 1)); done
if [ ! -s "$dir/display" ]; then
    wait "$pid"
    status=$?
    [ $status -eq 77 ] && exit 77
    echo "the command never started (wrapper status $status)"
    exit 1
fi
display=$(cat "$dir/display")
# The server itself, by the process listening on its socket: once it is gone, another test's
# server may take the same display number at once, so asking the display would not tell.
number=${display#:}
xpid=$(ss -xlp 2>/dev/null | grep "/tmp/.X11-unix/X$number " | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n 1)
kill -TERM "$pid"
wait "$pid"
status=$?
[ $status -eq 143 ] || { echo "wrapper status $status, wanted 143 (the command's SIGTERM)"; exit 1; }
if [ -n "$xpid" ]; then
    if grep -q X "/proc/$xpid/comm" 2>/dev/null; then
        echo "the X server at $display (pid $xpid) is still running"
        exit 1
    fi
elif xdpyinfo -display "$display" >/dev/null 2>&1; then
    echo "the X server at $display is still running"
    exit 1
fi
