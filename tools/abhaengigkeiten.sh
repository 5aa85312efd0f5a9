#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run, where they are missing.
set -euo pipefail
pakete=(
    cmake ninja-build g++ pkg-config clang-format clang-tidy
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgtest-dev googletest libgmock-dev
    attr util-linux xvfb xauth openbox imagemagick fonts-dejavu-core fonts-liberation2
    rsync time strace e2fsprogs
    libblkid-dev libsodium-dev libsqlite3-dev libxxhash-dev ntfs-3g exfatprogs exfat-fuse
    openssh-server openssh-client sshfs samba smbnetfs btrfs-progs xfsprogs
    dpkg-dev lintian appstream desktop-file-utils systemd
)
fehlt=()
for p in "${pakete[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || fehlt+=("$p")
done
if ((${#fehlt[@]})); then
    echo "installing: ${fehlt[*]}"
    if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${fehlt[@]}" >/dev/null
fi
