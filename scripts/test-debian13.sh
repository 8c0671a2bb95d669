#!/usr/bin/env bash
# `make test-debian13`: a fresh clone of this checkout's last commit runs
# `make test` inside a Debian 13 root, as a newcomer's machine with git and
# make would. The root is made with debootstrap from the Debian archive that
# this machine's apt uses, and kept in CACHE for the next run (remove the
# folder to start from a fresh one). Needs root: debootstrap, mounts, chroot.
#
#   test-debian13.sh CACHE
set -euo pipefail

if [ "${1:-}" = --inside ]; then
    # In a mount namespace of our own, so that nothing mounted here outlives
    # the run or shows on the host.
    root=$2
    mount --bind /proc "$root/proc"
    mount --bind /sys "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs tmpfs "$root/dev/shm"
    exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        TERM="${TERM:-dumb}" /bin/bash -c 'cd /root/installer && make test'
fi

cache=${1:?usage: test-debian13.sh CACHE}
root=$cache/root
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "test-debian13: needs root, for debootstrap, its mounts and chroot" >&2
    exit 1
fi

# The URI apt fetches SUITE's packages from here.
archive_of() {
    apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Identifier: Packages' |
        awk -v suite="$1" '$1 == suite { print $2; exit }'
}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$(archive_of "$codename")
security=$(archive_of "$codename-security")
if [ -z "$mirror" ]; then
    echo "test-debian13: apt's sources here name no Debian archive for '$codename'" >&2
    exit 1
fi

if [ ! -e "$root/.ready" ]; then
    echo "test-debian13: making a Debian 13 root in $root from $mirror"
    rm -rf "$root.partial"
    mkdir -p "$cache"
    debootstrap --variant=minbase --include=git,make,ca-certificates trixie "$root.partial" "$mirror"
    rm -f "$root.partial/etc/apt/sources.list"
    {
        printf 'Types: deb\nURIs: %s\nSuites: trixie trixie-updates\nComponents: main\n' "$mirror"
        printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
        if [ -n "$security" ]; then
            printf '\nTypes: deb\nURIs: %s\nSuites: trixie-security\nComponents: main\n' "$security"
            printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
        fi
    } >"$root.partial/etc/apt/sources.list.d/debian.sources"
    mv "$root.partial" "$root"
    touch "$root/.ready"
fi
cp /etc/hosts /etc/resolv.conf "$root/etc/"

commit=$(git -C "$here" rev-parse HEAD)
if [ -n "$(git -C "$here" status --porcelain --untracked-files=no)" ]; then
    echo "test-debian13: the changes not committed are not tested"
fi
rm -rf "$root/root/installer"
git clone --quiet --no-local "$here" "$root/root/installer"
git -C "$root/root/installer" checkout --quiet --detach "$commit"

echo "test-debian13: make test of $(git -C "$here" log -1 --format='%h %s' "$commit") in $root"
start=$SECONDS
status=0
unshare --mount --propagation private "$0" --inside "$root" 2>&1 | tee "$cache/make-test.log" || status=$?
took=$((SECONDS - start))
printf 'test-debian13: make test %s in Debian 13 after %d min %02d s; its output is in %s\n' \
    "$([ "$status" -eq 0 ] && echo passed || echo failed)" $((took / 60)) $((took % 60)) "$cache/make-test.log"
exit "$status"
