#!/usr/bin/env bash
# Installs the Debian packages that building fwdeploy and fwbundle and running
# the tests need, when any is missing, so the quick-start commands work on a
# fresh machine. Does nothing when all are there.
#   bash scripts/deps.sh            build, demo and native tests
#   bash scripts/deps.sh armhf      also the 32-bit ARM cross build and qemu-user
#   bash scripts/deps.sh board      the cross build and the emulated board: QEMU, U-Boot,
#                                   tools for its disk; the board's own armhf packages
#                                   are downloaded by scripts/board-test.sh, not installed
set -euo pipefail

packages=(cmake g++ make git pkg-config libgtest-dev libbenchmark-dev zlib1g-dev
          gzip bsdiff busybox util-linux libtomlplusplus-dev libcli11-dev
          libbearssl-dev libssl-dev openssl libubootenv-tool u-boot-tools e2fsprogs
          mtools dosfstools fdisk
          curl nginx-light iptables iproute2 procps python3-cryptography)
if [[ ${1:-} == armhf || ${1:-} == board ]]; then
    packages+=(g++-arm-linux-gnueabihf qemu-user-static binfmt-support
               libc6:armhf libstdc++6:armhf libgtest-dev:armhf libbearssl-dev:armhf libssl-dev:armhf)
fi
if [[ ${1:-} == board ]]; then
    packages+=(qemu-system-arm u-boot-qemu mtools dosfstools fdisk)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

echo "installing missing packages: ${missing[*]}"
as_root() { if [[ $EUID -eq 0 ]]; then "$@"; else sudo "$@"; fi; }
if [[ ${1:-} == armhf || ${1:-} == board ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    as_root dpkg --add-architecture armhf
fi
# The tests start nginx in a network namespace of their own; the install must
# not start the machine's own server.
policy=
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    policy=/usr/sbin/policy-rc.d
    as_root sh -c "printf '#!/bin/sh\nexit 101\n' > $policy && chmod 755 $policy"
fi
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
[[ -z $policy ]] || as_root rm -f "$policy"
