#!/usr/bin/env bash
# Makes a Windows-sized install.wim for the benchmarks (about 4.6 GiB): one
# LZX capture of 3.5 GiB of random data, which wimlib keeps stored as it is
# since it does not compress, and 2 GiB of random hexadecimal text, which LZX
# roughly halves: large stored and large compressed resources, as in a real
# install.wim. The tree is removed once captured.
#
#   bench/make_bench_wim.sh OUT.wim
set -euo pipefail
out=$1
tree=$(mktemp -d "$(dirname "$out")/tree.XXXXXX")
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/stored" "$tree/text"
echo "building the tree"
for i in $(seq 1 56); do
  head -c $((64 << 20)) /dev/urandom >"$tree/stored/random$i.bin"
done
python3 - "$tree/text" <<'PY'
import binascii, os, sys
for i in range(32):
    with open(os.path.join(sys.argv[1], f"text{i}.txt"), "wb") as f:
        for _ in range(32):
            f.write(binascii.hexlify(os.urandom(1 << 20)))
PY
echo "capturing the image (LZX)"
start=$(date +%s)
wimlib-imagex capture "$tree" "$out" bench --compress=lzx >/dev/null
echo "image: $(stat -c %s "$out") bytes, captured in $(( $(date +%s) - start )) s"
