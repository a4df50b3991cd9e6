#!/bin/sh
# The Debian package holds the whole suite: both programs, the tools in
# share/lock_bench with their links in bin/, and a compressed manual page
# for each command, the header a loaded lock is built against and its
# examples. It names the libraries the programs link and what the
# tools run.
# usage: package_test.sh CPACK_CONFIG OUT_DIR
config=$1 out=$2
rm -rf "$out" && mkdir -p "$out" || exit 1
if ! cpack -G DEB --config "$config" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"; echo "FAIL: cpack"; exit 1
fi
deb=$(ls "$out"/*.deb) && dpkg-deb -x "$deb" "$out/root" || exit 1
usr=$out/root/usr
failed=0

for f in bin/spin_or_mutex bin/lock_bench share/lock_bench/plot share/lock_bench/verdict; do
  [ -f "$usr/$f" ] && [ -x "$usr/$f" ] || { echo "FAIL: no program usr/$f"; failed=1; }
done
[ -f "$usr/share/lock_bench/results.py" ] || { echo "FAIL: no usr/share/lock_bench/results.py"; failed=1; }
for tool in plot verdict; do
  to=$(readlink "$usr/bin/lock_bench-$tool")
  [ "$to" = "../share/lock_bench/$tool" ] || {
    echo "FAIL: usr/bin/lock_bench-$tool links to '$to', not ../share/lock_bench/$tool"; failed=1; }
done
for page in spin_or_mutex lock_bench lock_bench-plot lock_bench-verdict; do
  gzip -dc "$usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q '^\.TH ' ||
    { echo "FAIL: no manual page usr/share/man/man1/$page.1.gz"; failed=1; }
done

# The examples build against the installed header.
for example in ttas pthread_mutex; do
  src=$usr/share/doc/spin_or_mutex/examples/$example.c
  cc -O2 -Wall -Werror -shared -fPIC -I "$usr/include" -o "$out/lib$example.so" "$src" ||
    { echo "FAIL: $src does not build against usr/include/lock_bench/plugin.h"; failed=1; }
done

# One name a line: "python3, gnuplot-nox | gnuplot, libc6 (>= 2.34)" gives
# python3, gnuplot-nox, gnuplot and libc6.
depends=$(dpkg-deb -f "$deb" Depends)
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/([^)]*)//; s/ //g')
for need in python3 python3-scipy gnuplot libc6; do
  echo "$names" | grep -qx "$need" || { echo "FAIL: Depends has no $need: $depends"; failed=1; }
done
exit $failed
