#!/usr/bin/env bash
# An NTFS vault's drive is mounted at /run/media/USER/LABEL, in a folder the service made for the
# user (mode 0700, unique among equal labels, gone after the close), the letter's folder links
# to it, and GIO says a desktop shows it. The vaults belong to an unprivileged user.
# Usage: media_mount_test.sh ZELVIRDK LOCKBINCTL GIO_SHOULD_DISPLAY SOURCE_DIR; 77: skipped.
set -euo pipefail
zelvirdk="$1" lockbinctl="$2" should_display="$3" source="$4"
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "the service mounts as root"
[ -w /dev/fuse ] || skip "vaults need /dev/fuse"
command -v mkntfs >/dev/null || skip "needs mkntfs (package ntfs-3g)"
user=nobody
id "$user" >/dev/null 2>&1 || skip "needs the user $user"
group=$(id -gn "$user")

. "$source/scripts/lib/service.sh"
tmp="$(mktemp -d /var/tmp/lockbin-media.XXXXXX)"
chmod 755 "$tmp"
made_media="" made_user=""
[ -d /run/media ] || made_media=yes
[ -d "/run/media/$user" ] || made_user=yes
cleanup() {
    set +eu
    service_stop
    grep -o " ${tmp}[^ ]*" /proc/self/mounts | sort -r | xargs -r -n1 umount -l
    rm -rf "$tmp"
    [ -n "$made_user" ] && rmdir "/run/media/$user" 2>/dev/null
    [ -n "$made_media" ] && rmdir /run/media 2>/dev/null
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    [ -f "$tmp/zelvirdk.log" ] && cat "$tmp/zelvirdk.log" >&2
    exit 1
}

export LOCKBIN_ROOT="$tmp/run" LOCKBIN_STATE="$tmp/state" LOCKBIN_MEDIA=/run/media
service_start "$tmp/zelvirdk.log" "$zelvirdk" || fail "the service did not start"

as_user() { setpriv --reuid="$user" --regid="$group" --clear-groups "$@"; }
# One catalogue per folder, both with a vault of the same name, hence the same label.
label="媒体$$"
open_vault() {
    mkdir -p "$tmp/$1"
    chown "$user:$group" "$tmp/$1"
    (cd "$tmp/$1" && echo "Media-pass1" | as_user "$lockbinctl" --here create "$label" --size 1 \
        --folder "$tmp/$1" --password-stdin) | sed -n 's/^\([D-Z]\): \(\/.*\)$/\1 \2/p'
}
read -r letter first < <(open_vault one) || fail "create the first vault"
[ "$first" = "/run/media/$user/$label" ] || fail "mounted at $first"
read -r letter2 second < <(open_vault two) || fail "create the second vault"
[ "$second" = "/run/media/$user/$label 2" ] || fail "the second vault mounted at $second"

[ "$(stat -c '%U %a' "$first")" = "$user 700" ] || fail "$first: $(stat -c '%U %a' "$first")"
[ "$(stat -c '%U %a' "/run/media/$user")" = "root 750" ] || [ -z "$made_user" ] ||
    fail "/run/media/$user: $(stat -c '%U %a' "/run/media/$user")"
[ "$(readlink "$LOCKBIN_ROOT/drives/$letter")" = "$first" ] || fail "the drive's folder is no link"
as_user touch "$LOCKBIN_ROOT/drives/$letter/through-the-letter"
[ -f "$first/through-the-letter" ] || fail "the letter's folder does not lead to the drive"
as_user "$should_display" "$first" || fail "GIO does not show $first"

(cd "$tmp/one" && as_user "$lockbinctl" --here close "$label") || fail "close"
(cd "$tmp/two" && as_user "$lockbinctl" --here close "$label") || fail "close the second"
for gone in "$first" "$second" "$LOCKBIN_ROOT/drives/$letter" "$LOCKBIN_ROOT/drives/$letter2"; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is left after the close"
done
service_stop || fail "the service did not stop cleanly"
echo "media: drives at /run/media/$user, linked from their letters, shown by GIO"
