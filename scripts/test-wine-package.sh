# The package stage of make test-wine, sourced by scripts/test-wine.sh (whose
# counters, fail_step, boot_prefix and tally it uses): the package as a
# person gets it (docs/windows.md). Makes the package (scripts/package.sh,
# into build/wine/dist), checks that the floppy image holds the zip's files,
# then for each target whose test parts test-wine.sh built: unzips the
# package into a fresh prefix, installs the driver from the package's INF,
# and runs nvpackage.exe (tests/wine/package/), which plugs a bridge and runs
# the package's 32-bit norvusb.exe against it (under WoW64 on x64).

package_stage() {
  local dist="$root/build/wine/dist"
  echo "== Wine, package"
  if ! DIST="$dist" scripts/package.sh >"$root/build/wine/package.log" 2>&1; then
    echo "test-wine: package: making the package failed"
    sed 's/^/  | /' "$root/build/wine/package.log" | tail -n 30
    failed=$((failed + 1))
    return
  fi
  local zip
  zip=$(ls "$dist"/norvusb-*.zip)
  check_floppy "$dist" "$(basename "$zip" .zip)"
  local target
  for target in x86 x64; do
    if [[ $targets == *" $target "* ]] && [ -f "$root/build/wine/$target/parts/nvpackage.exe" ]; then
      run_package_target "$target" "$zip"
    fi
  done
}

# The floppy image holds the very files of the zip, byte for byte.
check_floppy() {  # dist folder, package name
  local dist=$1 name=$2 dir="$root/build/wine/floppy"
  rm -rf "$dir"
  mkdir -p "$dir/zip" "$dir/img"
  if unzip -q "$dist/$name.zip" -d "$dir/zip" && mcopy -s -n -i "$dist/$name.img" '::*' "$dir/img/" &&
     diff -r "$dir/zip/$name" "$dir/img" >"$dir.log" 2>&1; then
    echo "[package] PASS the floppy image holds the zip's files, byte for byte"
    passed=$((passed + 1))
  else
    echo "[package] FAIL the floppy image holds the zip's files, byte for byte"
    sed 's/^/  | /' "$dir.log" | tail -n 20
    failed=$((failed + 1))
  fi
}

run_package_target() {  # target, the package's zip
  local name=$1 zip=$2
  local arch=win32 dir="$root/build/wine/$name-package"
  [ "$name" = x64 ] && arch=win64
  local parts="$root/build/wine/$name/parts" stage="$dir/stage" prefix="$dir/prefix"
  local package
  package=$(basename "$zip" .zip)
  echo "== Wine, $name, from the package: $package"
  rm -rf "$dir"
  mkdir -p "$stage/harness"
  unzip -q "$zip" -d "$stage"
  # Wine reads only the undecorated [SourceDisksFiles], which names x86\, on
  # x64 too (docs/wine.md): there the package's x64 image goes in its place.
  [ "$name" = x64 ] && cp "$stage/$package/x64/norvusb.sys" "$stage/$package/x86/norvusb.sys"
  cp "$parts"/nvbus.sys "$parts"/nvbus.inf "$parts"/nvinstall.exe "$parts"/nvbridge.exe "$parts"/nvpackage.exe \
    "$stage/harness/"
  local start=$SECONDS
  boot_prefix "$name-package" "$dir" "$prefix" "$arch" || return
  if ! (cd "$stage" && wine 'harness\nvinstall.exe' 'harness\nvbus.inf' "$package\\norvusb.inf") \
      >"$dir/install.log" 2>&1 || ! wineserver -w; then
    fail_step "$name-package" "installing the bus and the package's INF" "$dir/install.log"
    return
  fi
  (cd "$stage" && timeout 900 wine 'harness\nvpackage.exe' "$package\\norvusb.exe") >"$dir/test.log" 2>"$dir/wine.log"
  tally "$name-package" "$dir" $? "$start"
}
