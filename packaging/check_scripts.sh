#!/usr/bin/env bash
# Runs the Debian package's maintainer scripts as dpkg calls them, with
# systemctl and the deb-systemd helpers replaced by stubs that note each call,
# as on a machine booted with systemd and as on one without, and checks what
# they ask of systemd:
#  - install: systemd reads the unit again; nothing is started;
#  - upgrade: the same, and the service is restarted only if it runs
#    (try-restart);
#  - removal: the service is stopped before, systemd reloaded after; an
#    upgrade's prerm stops nothing;
#  - without systemd running, or for another root (DPKG_ROOT), neither
#    systemctl nor deb-systemd-invoke is called.
# What deb-systemd-helper does (links, masks, its records) is checked by the
# real installation in scripts/test-packages. The run gets a mount namespace
# and a /run of its own, so that /run/systemd/system is there or not for it
# alone.
#   check_scripts.sh CONTROL_DIR       (dpkg-deb -e's output; as root)
set -euo pipefail
control=$(cd "$1" && pwd)
if [ "${CHECK_SCRIPTS_UNSHARED:-}" != 1 ]; then
  exec env CHECK_SCRIPTS_UNSHARED=1 unshare --mount --propagation private "$0" "$control"
fi
mount -t tmpfs tmpfs /run

stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
calls="$stubs/calls"
for tool in systemctl deb-systemd-invoke deb-systemd-helper; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$calls" >"$stubs/$tool"
  chmod 755 "$stubs/$tool"
done

failed=0
# Fails unless the script, run with systemd running or not and the
# environment given, asks systemd exactly what is expected (lines in order).
check() { # running (yes/no), DPKG_ROOT, expected, script and its arguments
  local running=$1 dpkg_root=$2 expected=$3
  shift 3
  rm -rf /run/systemd
  [ "$running" = no ] || mkdir -p /run/systemd/system
  : >"$calls"
  PATH="$stubs:$PATH" DPKG_MAINTSCRIPT_PACKAGE=monitor DPKG_ROOT="$dpkg_root" \
    "$control/$1" "${@:2}" || { echo "check_scripts: $* exited with $?" >&2; failed=1; }
  local got
  got=$(grep -v '^deb-systemd-helper ' "$calls" || true)
  if [ "$got" != "$expected" ]; then
    printf 'check_scripts: FAILED: %s (systemd running: %s, DPKG_ROOT=%s)\nexpected:\n%s\ngot:\n%s\n' \
      "$*" "$running" "$dpkg_root" "$expected" "$got" >&2
    failed=1
  fi
}

reload="systemctl --system daemon-reload"
check yes "" "$reload" postinst configure
check yes "" "$reload
deb-systemd-invoke try-restart monitor.service" postinst configure 0.1.0-1
check yes "" "deb-systemd-invoke stop monitor.service" prerm remove
check yes "" "" prerm upgrade 0.1.0-1
check yes "" "$reload" postrm remove
check yes "" "" postrm purge
for running_root in "no " "yes /srv/target"; do
  read -r running root <<<"$running_root"
  check "$running" "$root" "" postinst configure
  check "$running" "$root" "" postinst configure 0.1.0-1
  check "$running" "$root" "" prerm remove
  check "$running" "$root" "" postrm remove
done
[ "$failed" = 0 ] || exit 1
echo "check_scripts: install reloads and starts nothing, upgrade try-restarts, removal stops" \
     "then reloads; nothing asked of systemd when it is not running or for another root"
