#!/usr/bin/env bash
# Installs an encrypted, signed package from a web server whose connection
# breaks half-way: nginx (with examples/nginx.conf) serves the package, sealed
# for the sandbox board's key, on the loopback interface of a network
# namespace of this script's own, a firewall rule there resets the download
# once it has carried a third of the package, and
# `fwdeploy -x http://127.0.0.1:8080/update.enc` resumes it from the byte
# where it broke, opens the envelope with the board's key, verifies, and
# applies the package to a sandbox board of plain files, as examples/demo.sh
# does with a local file. Nothing leaves the namespace, and the server is
# stopped before the script ends.
#
# Run as root (the namespace and the firewall need it); on Debian 12 the
# packages it needs are installed first when missing.
#
#   examples/demo-net.sh          build into ./build-demo, work in ./work-demo-net
#   BUILD_DIR=... WORK_DIR=... examples/demo-net.sh
set -euo pipefail

examples=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$examples")
build=${BUILD_DIR:-$root/build-demo}
work=${WORK_DIR:-$root/work-demo-net}
port=8080                         # where examples/nginx.conf listens
image_mib=24                      # incompressible, so the gzip package is as large

step() {
    printf '\n=== %s\n' "$*"
}

if [[ ${FWDEPLOY_DEMO_NET:-} != inside ]]; then
    if [[ $EUID -ne 0 ]]; then
        echo "examples/demo-net.sh makes a network namespace and firewall rules: run it as root" >&2
        exit 1
    fi
    # Compilers and libraries, nginx, curl, iptables and iproute2, on a fresh
    # machine; the machine's own nginx is not started by the install.
    bash "$root/scripts/deps.sh"
    step "building fwdeploy and fwbundle in $build"
    # The run lock lives in the build folder, as in examples/demo.sh, so both
    # demos share one build.
    # The board's decryption key is the sandbox board's.
    cmake -S "$root" -B "$build" -DFWDEPLOY_TESTS=OFF -DFWDEPLOY_LOCK_FILE="$build/fwdeploy.lock" \
        -DFWDEPLOY_DECRYPTION_KEY="$work/board/etc/fwdeploy/decryption-key.pem" >/dev/null
    cmake --build "$build" --target fwdeploy fwbundle -j2 >/dev/null
    # The rest runs in a network namespace with a loopback interface and nothing
    # else: the server is reachable from here alone, and the firewall rule below
    # touches no other traffic of the machine.
    exec env FWDEPLOY_DEMO_NET=inside BUILD_DIR="$build" WORK_DIR="$work" \
        unshare --net -- bash "$examples/demo-net.sh" "$@"
fi

fwdeploy=$build/frontend/fwdeploy
fwbundle=$build/bundle/fwbundle
# A link's packet size: on loopback's own the client says little a fault could answer.
ip link set lo up mtu 1500

# Mode, size and first line of every file on the board.
show_board() {
    (cd "$work" && find board -type f | LC_ALL=C sort | while read -r f; do
        first=$(head -c 200 "$f" | head -n 1 | tr -d '\n' | tr -c '[:print:]' '.' | cut -c1-44)
        printf '  %s %9s  %-28s %s\n' "$(stat -c %A "$f")" "$(stat -c %s "$f")" "$f" "$first"
    done)
}

# The server's folder is one that its workers, which run as nobody, can read
# whatever folder the checkout is in.
srv=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-demo-net.XXXXXX")
chmod 755 "$srv"
mkdir "$srv/packages"
nginx_pid=
stop_server() {
    if [[ -n $nginx_pid ]]; then
        kill -TERM "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$srv"
}
trap stop_server EXIT

rm -rf "$work"
mkdir -p "$work"
step "packing, signing and encrypting the example package, with a ${image_mib} MiB root file system image"
"$fwbundle" keygen "$work/release"
"$fwbundle" keygen --encryption "$work/board-key"
mkdir "$work/package"
cp -r "$examples/manifest.toml" "$examples/files" "$examples/images" "$examples/scripts" \
    "$work/package/"
head -c $((image_mib * 1024 * 1024)) /dev/urandom >"$work/package/images/rootfs-big.img"
cat >>"$work/package/manifest.toml" <<'EOF'

[[block]]
operation = "raw_partition"
target = "./board/dev/mmcblk0p2"
source = "images/rootfs-big.img"
EOF
"$fwbundle" create --sign "$work/release.pem" --gzip --encrypt-to "$work/board-key.pub.pem" \
    -o "$srv/packages/update.enc" "$work/package/manifest.toml"
"$fwbundle" list "$srv/packages/update.enc"
size=$(stat -c %s "$srv/packages/update.enc")
echo "update.enc: $size bytes"

step "laying out the sandbox board in $work/board"
cd "$work"
mkdir -p board/dev board/data/etc board/data/tmp board/etc/fwdeploy
cp release.pub.pem board/etc/fwdeploy/trusted-keys.pem                  # what the board trusts
install -m 0600 board-key.pem board/etc/fwdeploy/decryption-key.pem     # what it opens envelopes with
dd if=/dev/zero of=board/dev/mmcblk0p1 bs=1024 count=64 2>/dev/null    # an eMMC partition
dd if=/dev/zero of=board/dev/mmcblk0p2 bs=1M count=$image_mib 2>/dev/null   # its root file system
dd if=/dev/zero of=board/dev/mtdblock2 bs=1024 count=64 2>/dev/null    # an MTD block partition
: > board/dev/ubi0_1                                                    # a UBI volume
echo "Welcome to the demo board, firmware 1.0." > board/data/etc/motd
cp "$examples/files/app-1.0.conf" board/data/etc/app.conf
echo "debug output of firmware 1.0" > board/data/tmp/debug.log
show_board

step "serving $srv/packages with nginx on 127.0.0.1:$port (examples/nginx.conf)"
nginx -p "$srv/" -c "$examples/nginx.conf" -e "$srv/error.log" -g 'daemon off;' &
nginx_pid=$!
url=http://127.0.0.1:$port/update.enc
for _ in $(seq 50); do              # until it listens: 5 s at most
    head=$(curl -sS -I "$url" 2>/dev/null) && break
    sleep 0.1
done
printf '%s\n' "$head" | tr -d '\r' |
    grep -E '^(HTTP|Content-Length|Last-Modified|ETag|Accept-Ranges)' | sed 's/^/  /'

# Connection tracking counts the bytes of each connection. The first new
# connection from now on gets a mark, and once the server has sent a third of
# the package on a marked one, the client's packets are answered with resets
# (one alone may draw only a challenge from the client). The resumed download
# is a new connection, without the mark: it goes through.
cut=$((size / 3))
step "cutting the first download after $cut bytes (a TCP reset)"
sysctl -qw net.netfilter.nf_conntrack_acct=1
iptables-legacy -w -A INPUT -p tcp --dport "$port" -m conntrack --ctstate NEW \
    -m quota --quota 100 -j CONNMARK --set-mark 1
iptables-legacy -w -A INPUT -p tcp --dport "$port" -m connmark --mark 1 \
    -m connbytes --connbytes "$cut": --connbytes-dir reply --connbytes-mode bytes \
    -j REJECT --reject-with tcp-reset
echo "  iptables-legacy -A INPUT -p tcp --dport $port -m connmark --mark 1 -m connbytes --connbytes $cut: ..."

step "fwdeploy -x $url -k board/etc/fwdeploy/trusted-keys.pem"
echo "(of the progress lines, only those whose stage or state differs from the one before)"
"$fwdeploy" -x "$url" -k board/etc/fwdeploy/trusted-keys.pem |
    awk '/^\([0-9]+%\)\([0-9]\/2\)\(state sub [0-9]\)$/ {
             key = substr($0, index($0, ")(") + 2); if (key == last) next; last = key
         }
         { print }' && status=0 || status=${PIPESTATUS[0]}
echo "fwdeploy exit status: $status"

step "what the server saw: one request a line (status, bytes sent)"
# Bytes sent count what left nginx, also what was still on its way when a
# connection was reset or closed.
awk '{ print "  " $6, $7, $9, $10 }' "$srv/access.log" | tr -d '"'
resets=$(iptables-legacy -w -L INPUT -v -n -x | awk '/REJECT/ { print $1 }')
echo "  connections reset by the rule: $resets"

step "the board afterwards"
show_board
printf '\nOTA_STATUS seen by the end script: %s\n' "$(cat board/data/ota-status)"
if cmp -s board/dev/mmcblk0p2 package/images/rootfs-big.img; then
    echo "board/dev/mmcblk0p2 holds the package's root file system image, byte for byte:"
else
    echo "board/dev/mmcblk0p2 differs from the package's root file system image:"
fi
sha256sum board/dev/mmcblk0p2 package/images/rootfs-big.img | sed 's/^/  /'
exit "$status"
