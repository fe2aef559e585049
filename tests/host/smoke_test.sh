#!/bin/sh
# smoke_test.sh <kelvo-host>: the smoke run without a display, in a home of its own.
home=$(mktemp -d) || exit 1
trap 'rm -rf "$home"' EXIT
out=$(env -u DISPLAY QT_QPA_PLATFORM=offscreen KELVO_CONFIG_DIR="$home/config" XDG_CONFIG_HOME="$home/config" \
      XDG_DATA_HOME="$home/data" DBUS_SESSION_BUS_ADDRESS="unix:path=$home/no-bus" "$1" --smoke-test)
status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] || { echo "exit status $status" >&2; exit 1; }
[ "$(printf '%s\n' "$out" | grep -c '^smoke: ')" -eq 4 ] || { echo "not four smoke lines" >&2; exit 1; }
printf '%s\n' "$out" | grep -qx 'smoke: menu items = 18' || exit 1
printf '%s\n' "$out" | grep -qx 'smoke: OK' || exit 1
