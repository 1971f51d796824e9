#!/usr/bin/env bash
# The 3.14 chroot: a Debian unstable (sid) system made with debootstrap, with
# Debian's CPython 3.14 (and its debug build) and the packages in
# tools/chroot-packages.txt; kept outside the checkout, made once per machine.
# The project's tests, sanitizer runs and benchmarks run there.
#
#   tools/chroot314.sh ensure         create or update the chroot
#   tools/chroot314.sh run CMD...     copy the checkout in and run CMD there
#                                     (from the copy's top directory)
#
# PRAVEL_CHROOT_DIR overrides the location (default /var/cache/pravel/sid-py314).
# The photograph cache of tools/photos.py (PRAVEL_PHOTOS, default
# /var/cache/pravel/photos) is mounted at the same path inside, so that the
# benchmark fetches the photographs once per machine, not once per run;
# PRAVEL_CHROOT_WHEELHOUSE names a folder of this machine mounted the same way.
# PRAVEL_CHROOT_COPY_BACK lists files or folders (paths relative to the top
# directory, separated by spaces) that `run` copies from the copy back into the
# checkout after CMD, such as results a benchmark wrote or built wheels (the
# files directly inside a folder); PRAVEL_CHROOT_COPY_IN lists, the same way,
# what `run` copies into the copy although it is a build product (wheels made
# on this machine). PRAVEL_DEBIAN_MIRROR names a Debian mirror
# for debootstrap (default: debootstrap's own).
# Needs root (debootstrap, chroot and mounts).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
chroot_dir=${PRAVEL_CHROOT_DIR:-/var/cache/pravel/sid-py314}
mirror=${PRAVEL_DEBIAN_MIRROR:-}
photos=${PRAVEL_PHOTOS:-/var/cache/pravel/photos}
corpus=${PRAVEL_CORPUS_DIR:-/var/cache/pravel/wordguard-corpus}
packages_file=$top/tools/chroot-packages.txt
# sid's Release file is often past its Valid-Until date.
apt_opts=(-o Acquire::Check-Valid-Until=false -o Acquire::Retries=3)

log() { printf '[chroot314] %s\n' "$*" >&2; }

need_root() {
    if [ "$(id -u)" != 0 ]; then
        log "must run as root (debootstrap, chroot, mount)"
        exit 1
    fi
}

in_chroot() { chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }

# Mounts the chroot needs; called inside a private mount namespace (unshare),
# so they vanish with the command and concurrent runs do not meet.
mount_chroot() {
    cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true
    mount -t proc proc "$chroot_dir/proc"
    for d in dev sys; do mount --rbind "/$d" "$chroot_dir/$d"; done
    mkdir -p "$photos" "$chroot_dir/var/cache/pravel/photos"
    mount --bind "$photos" "$chroot_dir/var/cache/pravel/photos"
    # The benchmarks' texts too: both Pythons read the same corpus.
    mkdir -p "$corpus" "$chroot_dir/var/cache/pravel/wordguard-corpus"
    mount --bind "$corpus" "$chroot_dir/var/cache/pravel/wordguard-corpus"
    # The wheels of the tests' dependencies (tools/wheel.sh), at the same path.
    if [ -n "${PRAVEL_CHROOT_WHEELHOUSE:-}" ]; then
        mkdir -p "$chroot_dir$PRAVEL_CHROOT_WHEELHOUSE"
        mount --bind "$PRAVEL_CHROOT_WHEELHOUSE" "$chroot_dir$PRAVEL_CHROOT_WHEELHOUSE"
    fi
}

ensure() {
    need_root
    mkdir -p "$(dirname "$chroot_dir")"
    exec 9>"$chroot_dir.lock"
    flock 9
    if [ ! -e "$chroot_dir/.pravel-base" ]; then
        command -v debootstrap >/dev/null || {
            log "installing debootstrap"
            apt-get "${apt_opts[@]}" update -qq
            apt-get "${apt_opts[@]}" install -y -qq debootstrap >/dev/null
        }
        log "creating the Debian sid chroot in $chroot_dir (about a minute)"
        rm -rf "$chroot_dir.tmp"
        debootstrap --variant=minbase sid "$chroot_dir.tmp" ${mirror:+"$mirror"} >/dev/null
        rm -rf "$chroot_dir"
        mv "$chroot_dir.tmp" "$chroot_dir"
        touch "$chroot_dir/.pravel-base"
    fi
    local want have
    want=$(grep -v '^#' "$packages_file" | sort | sha256sum | cut -d' ' -f1)
    have=$(cat "$chroot_dir/.pravel-packages" 2>/dev/null || true)
    if [ "$want" != "$have" ]; then
        log "installing the chroot's packages"
        unshare --mount --propagation private "$0" _inside ensure-packages
        echo "$want" >"$chroot_dir/.pravel-packages"
    fi
    exec 9>&-
}

ensure_packages() {
    mount_chroot
    in_chroot apt-get "${apt_opts[@]}" update -qq
    # shellcheck disable=SC2046
    in_chroot apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends \
        $(grep -v '^#' "$packages_file") >/dev/null
}

run() {
    ensure
    mkdir -p "$chroot_dir/work"
    local work status=0
    work=$(mktemp -d "$chroot_dir/work/run.XXXXXX")
    # The working tree as it stands, without build products.
    tar -C "$top" --exclude=./.git --exclude=./build --exclude=./.venv --exclude=./out --exclude=./dist \
        --exclude='*.so' --exclude=__pycache__ --exclude=.pytest_cache -cf - . | tar -C "$work" -xf -
    copy_in "$work"
    unshare --mount --propagation private "$0" _inside run "/work/${work##*/}" "$@" || status=$?
    copy_back "$work"
    rm -rf "$work"
    return $status
}

copy_in() {
    local work=$1 path
    local -a paths
    read -ra paths <<<"${PRAVEL_CHROOT_COPY_IN:-}"
    for path in "${paths[@]}"; do
        case "/$path/" in
            //* | */../*) log "not copying in $path: not a path inside the checkout"; continue ;;
        esac
        if [ -e "$top/$path" ]; then
            mkdir -p "$work/$(dirname "$path")"
            cp -r "$top/$path" "$work/$(dirname "$path")/"
        fi
    done
}

copy_back() {
    local work=$1 path
    local -a paths
    read -ra paths <<<"${PRAVEL_CHROOT_COPY_BACK:-}"
    for path in "${paths[@]}"; do
        case "/$path/" in
            //* | */../*) log "not copying back $path: not a path inside the checkout"; continue ;;
        esac
        if [ -f "$work/$path" ] && [ ! -L "$work/$path" ]; then
            mkdir -p "$top/$(dirname "$path")"
            cp "$work/$path" "$top/$path"
            log "copied back $path"
        elif [ -d "$work/$path" ] && [ ! -L "$work/$path" ]; then
            mkdir -p "$top/$path"
            find "$work/$path" -maxdepth 1 -type f -exec cp -t "$top/$path" {} +
            log "copied back the files in $path"
        else
            log "not copying back $path: the command left no such file"
        fi
    done
}

run_inside() {
    local dir=$1
    shift
    mount_chroot
    # A virtual environment of its own (on top of the chroot's packages), so
    # that concurrent runs never install into each other's.
    in_chroot /bin/bash -c 'cd "$0" && python3 -m venv --without-pip --system-site-packages .chroot-venv &&
        PATH=$PWD/.chroot-venv/bin:$PATH && exec "$@"' "$dir" "$@"
}

case ${1:-} in
    ensure) ensure ;;
    run) shift; run "$@" ;;
    _inside)
        case $2 in
            ensure-packages) ensure_packages ;;
            run) shift 2; run_inside "$@" ;;
        esac ;;
    *) echo "usage: $0 ensure | run CMD..." >&2; exit 2 ;;
esac
