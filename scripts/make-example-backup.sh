#!/usr/bin/env bash
# Packs the example firewall files in examples/backup into a full backup
# archive, with member names relative to the root of the file system.
# Usage: make-example-backup.sh OUTPUT.tar.gz
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/../examples/backup" && pwd)"
output="$1"
mkdir -p "$(dirname "$output")"
tar -czf "$output" -C "$source_dir" ./opt
