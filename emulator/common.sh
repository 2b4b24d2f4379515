# Shared by the emulator scripts: where the prepared guest lives.
# BUSTOOLS_CACHE overrides the cache folder.

emulator_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project_dir=$(dirname "$emulator_dir")
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache_root=${BUSTOOLS_CACHE:-${XDG_CACHE_HOME:-${home:-/tmp}/.cache}/bustools}

# The guest's packages: QEMU with the CTU CAN FD card, the tools copied into
# the guest, and what building the controller driver needs.
emulator_packages=(qemu-system-x86 busybox-static dash iproute2 net-tools can-utils
                   cpio gzip xz-utils make gcc bc)

# The kernel ABI that the package lists give linux-image-amd64, if any.
listed_kernel_abi() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: linux-image-\([0-9].*\)$/\1/p' | head -n 1
}

# The ABI of Debian's current kernel, such as 6.1.0-57-amd64.
kernel_abi() {
    local abi
    abi=$(listed_kernel_abi)
    if [ -z "$abi" ]; then
        apt-get update -qq >&2 || true
        abi=$(listed_kernel_abi)
    fi
    if [ -z "$abi" ]; then
        # No package lists: fall back on a guest prepared earlier.
        abi=$(ls -1 "$cache_root" 2>/dev/null | sed -n 's/^guest-\(.*\)-[0-9a-f]*$/\1/p' | sort -V | tail -n 1)
    fi
    [ -n "$abi" ] || { echo "error: cannot tell Debian's kernel ABI" >&2; return 1; }
    echo "$abi"
}

# guest_dir ABI: the prepared guest, also keyed by the scripts that make it.
guest_dir() {
    local recipe
    recipe=$(cat "$emulator_dir/prepare" "$emulator_dir/copy-with-libs" | sha256sum | cut -c1-12)
    echo "$cache_root/guest-$1-$recipe"
}
