#!/usr/bin/env bash
# The Debian package end to end: build it from BUILD_DIR with CPack, install it with dpkg, run a
# vault's life through the installed lockbinctl against the installed service, remove and purge
# it, and check that no mount, process or file stays behind.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR. Exit status 77: skipped (the reason is printed).
set -euo pipefail
build="$1"
source="$2"
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg dpkg-deb cpack setpriv flock; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done
[ -w /dev/fuse ] || skip "vaults need /dev/fuse"
command -v mkntfs >/dev/null || skip "needs mkntfs (package ntfs-3g)"
id nobody >/dev/null 2>&1 || skip "needs the user nobody"

# One package test at a time on a machine; then make sure nothing of an installation is here
# that removing and purging ours would take away.
exec 9>/run/lock/lockbin-package-test.lock
flock 9
if dpkg-query -W -f='${Status}' lockbin 2>/dev/null | grep -q 'ok installed'; then
    skip "a lockbin package is installed here; this test would remove it"
fi
for kept in /etc/lockbin /var/lib/lockbin /usr/sbin/zelvirdk; do
    [ ! -e "$kept" ] || skip "$kept exists; purging the package would remove or replace it"
done

tmp="$(mktemp -d /var/tmp/lockbin-package.XXXXXX)"
. "$source/scripts/lib/service.sh"
installed=""
cleanup() {
    set +eu
    service_stop
    grep -o " ${tmp}[^ ]*" /proc/self/mounts | sort -r | xargs -r -n1 umount -l
    [ -n "$installed" ] && dpkg -P lockbin >/dev/null 2>&1
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
# dpkg, waiting while another installation (apt-get on this machine) holds its lock; the output
# is shown and kept in $tmp/dpkg.out.
dpkg_waiting() {
    local _
    for _ in $(seq 120); do
        if dpkg "$@" >"$tmp/dpkg.out" 2>&1; then
            cat "$tmp/dpkg.out"
            return 0
        fi
        grep -qE "frontend lock|is locked by another" "$tmp/dpkg.out" || break
        sleep 1
    done
    cat "$tmp/dpkg.out"
    return 1
}

echo "== package"
cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/pkg/lockbin_*.deb)
dpkg-deb -I "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/\1:/p'
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#; s#/$##' | grep -v '^/$' >"$tmp/contents"
for path in /usr/sbin/zelvirdk /usr/lib/systemd/system/zelvirdk.service /usr/bin/lockbinctl \
    /usr/bin/drvlog /etc/lockbin/server; do
    grep -qx "$path" "$tmp/contents" || fail "the package lacks $path"
done
# The manager finds the updater beside itself; pkexec runs the updater only at the action's path.
if [ -x "$build/update/update" ]; then
    grep -qx /usr/lib/lockbin/update "$tmp/contents" || fail "the package lacks the updater"
    policy=/usr/share/polkit-1/actions/org.lockbin.update.policy
    grep -qx "$policy" "$tmp/contents" || fail "the package lacks $policy"
fi
if [ -x "$build/lockbin" ]; then
    for path in /usr/bin/lockbin /usr/lib/lockbin/Lockbin /usr/share/applications/lockbin.desktop; do
        grep -qx "$path" "$tmp/contents" || fail "the package lacks $path"
    done
    grep -q '^/usr/share/icons/hicolor/' "$tmp/contents" || fail "the package has no icon"
fi

echo "== install"
installed=yes
dpkg_waiting -i "$deb" || fail "dpkg -i"
unit=/usr/lib/systemd/system/zelvirdk.service
grep -q "^ExecStart=/usr/sbin/zelvirdk$" "$unit" || fail "the unit does not start /usr/sbin/zelvirdk"
if [ -n "${policy:-}" ]; then
    grep -q '"org.freedesktop.policykit.exec.path">/usr/lib/lockbin/update<' "$policy" ||
        fail "the polkit action does not name the installed updater"
fi
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
fi

if [ -d /run/systemd/system ]; then
    systemctl is-active --quiet zelvirdk.service || fail "the installed service is not running"
    export LOCKBIN_ROOT=/run/lockbin
else
    grep -q "systemd is not running" "$tmp/dpkg.out" || fail "postinst did not say why"
    # By hand over private folders, confined as the unit confines it: its capability bounding
    # set and no new privileges.
    caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z ' 'a-z\n' |
        sed 's/^cap_/+/' | paste -sd,)
    grep -q '^NoNewPrivileges=yes$' "$unit" || fail "the unit lost NoNewPrivileges"
    export LOCKBIN_ROOT="$tmp/run" LOCKBIN_STATE="$tmp/state"
    service_start "$tmp/zelvirdk.log" setpriv --nnp --inh-caps=-all --bounding-set="-all,$caps" \
        /usr/sbin/zelvirdk || fail "the installed service did not start"
fi

echo "== a vault through the installed programs"
LOCKBIN_DEMO_DIR="$tmp" bash "$source/scripts/vault-demo" /usr/bin/lockbinctl ||
    { cat "$tmp/zelvirdk.log" 2>/dev/null; fail "the vault's life"; }

# A busy drive of an ordinary user, held by the user's process: the confined service refuses to
# close it, and both the command and the service's log name the holder.
user=nobody
group=$(id -gn "$user")
work="$tmp/busy"
mkdir -p "$work"
chown "$user:$group" "$work"
chmod 755 "$tmp"
as_user() { setpriv --reuid="$user" --regid="$group" --clear-groups "$@"; }
ctl() { (cd "$work" && as_user /usr/bin/lockbinctl --here "$@"); }
drive=$(echo Busy-pass1 | ctl create busy --size 1 --folder "$work" --password-stdin |
    sed -n 's/^[D-Z]: \(\/.*\)$/\1/p')
[ -n "$drive" ] || fail "create busy"
(cd "$drive" && exec setpriv --reuid="$user" --regid="$group" --clear-groups sleep 60) &
holder=$!
sleep 0.2
if ctl close busy 2>"$tmp/busy.err"; then fail "a busy drive was closed"; fi
grep -q "^ *$holder " "$tmp/busy.err" || { cat "$tmp/busy.err"; fail "the holder was not named"; }
if [ -n "${SERVICE_PID:-}" ]; then
    grep -q "in use by pid $holder (sleep)" "$tmp/zelvirdk.log" ||
        fail "the service's log does not name the holder"
fi
kill "$holder"
wait "$holder" || true
ctl close busy || fail "close busy"

service_stop || fail "the service did not stop cleanly: $(cat "$tmp/zelvirdk.log")"

echo "== remove and purge"
dpkg_waiting -r lockbin || fail "dpkg -r"
[ ! -e /usr/sbin/zelvirdk ] && [ ! -e /usr/bin/lockbinctl ] || fail "programs left after removal"
dpkg_waiting -P lockbin || fail "dpkg -P"
installed=""
while read -r path; do
    [ -d "$path" ] && continue # shared folders such as /usr/bin stay
    [ ! -e "$path" ] || fail "$path left after purge"
done <"$tmp/contents"
for path in /etc/lockbin /var/lib/lockbin /etc/systemd/system/multi-user.target.wants/zelvirdk.service \
    /var/lib/systemd/deb-systemd-helper-enabled/zelvirdk.service.dsh-also; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path left after purge"
done
! grep -q " $tmp" /proc/self/mounts || fail "a mount is left under $tmp"
# Drives mounted elsewhere (/run/media) name the service's block files as their source.
! grep -q -e "^$LOCKBIN_ROOT/disks/" -e " $LOCKBIN_ROOT/" /proc/self/mounts ||
    fail "a mount of the service is left"
for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
    /usr/sbin/zelvirdk*) fail "a service process is left: $exe" ;;
    esac
done
echo "package: installed, served a vault, removed and purged cleanly"
