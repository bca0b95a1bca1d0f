#!/usr/bin/env bash
# Converts the bundled example backup with the built mervex, with its report
# of where every rule comes from (--verbose), and shows the two converted
# rule files. The conversion runs in a private mount namespace with
# a fresh tmpfs on /opt, so a real firewall installation is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
out="$root/examples/out"
rm -rf "$out"
mkdir -p "$out"
"$root/scripts/make-example-backup.sh" "$out/backup.tar.gz"

unshare -m bash -c '
    set -euo pipefail
    mount --make-rprivate / 2>/dev/null || true
    mount -t tmpfs -o mode=0755,size=64m tmpfs /opt
    cd "$1"
    "$2" --verbose --file backup.tar.gz
' bash "$out" "$root/build/mervex"

archive="$(find "$out" -maxdepth 1 -name '*.tar.gz' ! -name backup.tar.gz | head -n 1)"
mkdir -p "$out/converted"
tar -xzf "$archive" -C "$out/converted"
for file in opt/varno-firewall/etc/firewall/rules/cfgRule \
            opt/varno-firewall/etc/suricata/rules/cfg.rules; do
    echo
    echo "==> $archive: $file"
    cat "$out/converted/$file"
done
