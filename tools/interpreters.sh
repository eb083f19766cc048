#!/usr/bin/env bash
# Provides the interpreters that no distribution package of this machine carries, cached under
# $QUORVEX_CACHE (default ~/.cache/quorvex) and keyed by version and checksum, so that a second
# run on one machine reuses them and a new machine builds them afresh:
#
#   tools/interpreters.sh 3.13t    free-threaded CPython 3.13, built from the upstream source
#                                  tarball that Debian trixie's python3.13 source package ships,
#                                  into $QUORVEX_CACHE/python3.13t-<version>-<checksum>, reached
#                                  also as $QUORVEX_CACHE/python3.13t/bin/python3.13t
#   tools/interpreters.sh sid      a Debian sid chroot with python3.14 and python3.15, their
#                                  -dev and -venv packages, g++, cmake and ninja:
#                                  $QUORVEX_CACHE/chroot-sid-<recipe checksum>
#   tools/interpreters.sh all      both
#
# Each prints the path it provides on its last line; `path NAME` prints it without building
# (failing if it is not there), and `run-in-sid COMMAND...` runs a command in the chroot, in
# this repository mounted at its own path. Needs root (apt-get, debootstrap, chroot, mount).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

cache=${QUORVEX_CACHE:-$HOME/.cache/quorvex}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

# The orig tarball of trixie's python3.13 source package (3.13.5-2+deb13u5), as listed in the
# suite's Sources index; the checksum pins it.
cpython313_version=3.13.5
cpython313_tarball=python3.13_$cpython313_version.orig.tar.xz
cpython313_sha256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
cpython313t_prefix=$cache/python3.13t-$cpython313_version-${cpython313_sha256:0:12}

# Fetches URL into FILE unless FILE is there with the expected sha256.
fetch_pinned() {
    local url=$1 file=$2 sha256=$3
    if [[ ! -f $file ]] || ! echo "$sha256  $file" | sha256sum -c --status; then
        mkdir -p "$(dirname "$file")"
        curl -sSfL -o "$file.part" "$url" || die "cannot fetch $url"
        echo "$sha256  $file.part" | sha256sum -c --status ||
            { rm -f "$file.part"; die "$url does not have the pinned sha256 $sha256"; }
        mv "$file.part" "$file"
    fi
}

# A free-threaded (--disable-gil) CPython 3.13 with the modules a test run needs (ssl, zlib,
# bz2, lzma, ctypes, sqlite3), installed into its own prefix; the stamp marks a finished build.
provide_cpython313t() {
    local python=$cpython313t_prefix/bin/python3.13t
    if [[ -f $cpython313t_prefix/.complete ]]; then
        ln -sfn "$(basename "$cpython313t_prefix")" "$cache/python3.13t"
        echo "$python"
        return
    fi
    apt_install libssl-dev zlib1g-dev libbz2-dev liblzma-dev libffi-dev libsqlite3-dev \
        libreadline-dev libncurses-dev uuid-dev xz-utils ||
        die "missing: install the CPython build dependencies (libssl-dev zlib1g-dev libbz2-dev" \
            "liblzma-dev libffi-dev libsqlite3-dev)"
    local tarball=$cache/src/$cpython313_tarball
    fetch_pinned "$mirror/pool/main/p/python3.13/$cpython313_tarball" "$tarball" \
        "$cpython313_sha256"
    local build=$cache/build/python3.13t-$cpython313_version
    rm -rf "$build" "$cpython313t_prefix"
    mkdir -p "$build"
    tar -xJf "$tarball" -C "$build" --strip-components=1
    echo "$script_name: building free-threaded CPython $cpython313_version in $build" >&2
    (
        cd "$build"
        # No test modules: the project's tests need none, and they are a good part of the build.
        nice ./configure --disable-gil --disable-test-modules --prefix="$cpython313t_prefix" \
            --with-ensurepip=install \
            >configure.log 2>&1 || { tail -30 configure.log >&2; exit 1; }
        nice make -j"${CPYTHON_JOBS:-2}" >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
        nice make install >install.log 2>&1 || { tail -40 install.log >&2; exit 1; }
    ) || die "building CPython $cpython313_version failed (logs in $build)"
    "$python" -c '
import sys, ssl, zlib, bz2, lzma, ctypes, sqlite3
sys.exit(sys._is_gil_enabled())' || die "$python lacks a module or is not free-threaded"
    rm -rf "$build"
    touch "$cpython313t_prefix/.complete"
    ln -sfn "$(basename "$cpython313t_prefix")" "$cache/python3.13t"
    echo "$python"
}

# The Debian suite that carries the CPython releases newer than the host's, and what the chroot
# holds. sid moves, so its package versions are not pinned: the chroot is keyed by this recipe
# and records the versions it got in its stamp.
chroot_suite=sid
chroot_packages=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev
                 python3.15-venv g++ cmake ninja-build)
chroot_key=$(printf '%s\n' "$chroot_suite" "${chroot_packages[@]}" | sha256sum | cut -c1-12)
chroot_root=$cache/chroot-$chroot_suite-$chroot_key
# The host's CA bundle, which pip inside the chroot trusts: the host may reach PyPI only
# through a proxy whose certificate authority the chroot's own bundle lacks.
host_ca_bundle=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
chroot_ca_bundle=/etc/ssl/host-ca-bundle.crt

# Prints the mount points at or below ROOT, deepest first.
mounts_below() {
    local root=$1
    awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts |
        sort -r
}

unmount_below() {
    local root=$1 point
    while read -r point; do
        umount "$point" 2>/dev/null || umount -l "$point"
    done < <(mounts_below "$root")
}

# Deletes a chroot, never while anything is mounted inside it (a bind-mounted repository would
# go with it).
remove_chroot() {
    local root=$1
    [[ -e $root ]] || return 0
    unmount_below "$root"
    [[ -z $(mounts_below "$root") ]] || die "$root still has mounts; not deleting it"
    rm -rf --one-file-system "$root"
}

# mount_chroot ROOT [DIRECTORY...]: /proc, /dev and each DIRECTORY at its own path.
mount_chroot() {
    local root=$1 directory
    shift
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts" 2>/dev/null || true
    # multiprocessing's semaphores live in /dev/shm.
    mount --bind /dev/shm "$root/dev/shm" 2>/dev/null || true
    for directory in "$@"; do
        mkdir -p "$root$directory"
        mount --bind "$directory" "$root$directory"
    done
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    mkdir -p "$root$(dirname "$chroot_ca_bundle")"
    cp "$host_ca_bundle" "$root$chroot_ca_bundle"
}

# in_chroot ROOT COMMAND...: runs the command in the chroot with a clean environment.
in_chroot() {
    local root=$1
    shift
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=${TERM:-dumb} \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        PIP_CERT="$chroot_ca_bundle" PIP_DISABLE_PIP_VERSION_CHECK=1 \
        CI="${CI:-}" CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# A minimal Debian chroot of $chroot_suite with $chroot_packages, built in a scratch
# directory and moved into place when complete.
provide_sid_chroot() {
    if [[ -f $chroot_root/.complete ]]; then
        echo "$chroot_root"
        return
    fi
    [[ $(id -u) -eq 0 ]] || die "building the $chroot_suite chroot needs root"
    command -v debootstrap >/dev/null 2>&1 || apt_install debootstrap ||
        die "missing: install debootstrap (apt-get install debootstrap)"
    local part=$chroot_root.part
    remove_chroot "$part"
    trap "unmount_below '$part'" EXIT
    echo "$script_name: building a $chroot_suite chroot in $part" >&2
    mkdir -p "$cache"
    nice debootstrap --variant=minbase "$chroot_suite" "$part" "$mirror" >"$part.log" 2>&1 ||
        { tail -20 "$part.log" >&2; die "debootstrap $chroot_suite failed (log: $part.log)"; }
    # A mirror that serves a snapshot has Release files past their Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' >"$part/etc/apt/apt.conf.d/99no-check-valid-until"
    mount_chroot "$part"
    {
        in_chroot "$part" apt-get update -qq &&
            in_chroot "$part" apt-get install -y -qq --no-install-recommends \
                "${chroot_packages[@]}"
    } >>"$part.log" 2>&1 ||
        { tail -20 "$part.log" >&2; die "installing into the chroot failed (log: $part.log)"; }
    in_chroot "$part" apt-get clean
    in_chroot "$part" dpkg-query -W "${chroot_packages[@]}" >"$part/.complete"
    unmount_below "$part"
    trap - EXIT
    mv "$part" "$chroot_root"
    rm -f "$part.log"
    echo "$chroot_root"
}

# run_in_sid COMMAND...: runs the command in the sid chroot, in this repository (mounted at
# its own path). One run at a time: the mounts are shared.
run_in_sid() {
    [[ -f $chroot_root/.complete ]] || die "no $chroot_suite chroot: run $0 sid first"
    exec 9>"$chroot_root.lock"
    flock 9
    trap "unmount_below '$chroot_root'" EXIT
    mount_chroot "$chroot_root" "$PWD"
    local status=0
    in_chroot "$chroot_root" /bin/bash -c 'cd "$1" && shift && exec "$@"' bash "$PWD" "$@" ||
        status=$?
    unmount_below "$chroot_root"
    trap - EXIT
    return $status
}

# provided_path NAME: the path of a provided interpreter or chroot; fails if it is not there.
provided_path() {
    case $1 in
        3.13t) [[ -f $cpython313t_prefix/.complete ]] && echo "$cpython313t_prefix/bin/python3.13t" ;;
        sid) [[ -f $chroot_root/.complete ]] && echo "$chroot_root" ;;
        *) return 1 ;;
    esac
}

case ${1:-all} in
    3.13t) provide_cpython313t ;;
    sid) provide_sid_chroot ;;
    all) provide_cpython313t && provide_sid_chroot ;;
    path) provided_path "${2:-}" ;;
    run-in-sid) shift && run_in_sid "$@" ;;
    *) die "usage: $0 [3.13t|sid|all|path 3.13t|path sid|run-in-sid COMMAND...]" ;;
esac
