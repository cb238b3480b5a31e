#!/usr/bin/env bash
# A guided tour: builds the installer and pkgtool, makes a few sample packages
# and a bundle signed with the development key, installs them into a sandbox
# router root with an upgrade run, lists them, then upgrades one package.
# Run as root (the installer changes root into the sandbox).
set -euo pipefail
cd "$(dirname "$0")/.."
REPO="$PWD"
BUILD="${BUILD_DIR:-$REPO/build}"
DEMO="${DEMO_DIR:-$(mktemp -d /tmp/tarnix-demo-XXXXXX)}"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Building the installer and pkgtool (in $BUILD)"
scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target installer pkgtool
PKGTOOL="$BUILD/pkgtool"
INSTALLER="$BUILD/installer"

say "Making sample packages with pkgtool (signed with the DEVELOPMENT key: demo only)"
SRC="$DEMO/src"
OUT="$DEMO/packages"
mkdir -p "$SRC" "$OUT"
export SOURCE_DATE_EPOCH=1767225600   # reproducible build times: 2026-01-01

mk_tree() {  # mk_tree NAME VERSION: a small tree with a binary, a config and a link
    local dir="$SRC/$1-$2"
    mkdir -p "$dir/bin" "$dir/etc/$1"
    printf '#!/bin/sh\necho "%s %s"\n' "$1" "$2" > "$dir/bin/$1"
    chmod 0755 "$dir/bin/$1"
    head -c 200000 /dev/urandom > "$dir/etc/$1/data.bin"
    printf 'name=%s\nversion=%s\n' "$1" "$2" > "$dir/etc/$1/$1.conf"
    ln -sf "../bin/$1" "$dir/etc/$1/run"
    echo "$dir"
}

"$PKGTOOL" build --dev-key --name system --version 6.2 --note "base system" \
    -o "$OUT/system-6.2.npk" "$(mk_tree system 6.2)"
"$PKGTOOL" build --dev-key --name routing --version 6.2 --depends 'system>=6.0' \
    --note "routing protocols" -o "$OUT/routing-6.2.npk" "$(mk_tree routing 6.2)"
"$PKGTOOL" build --dev-key --name wireless --version 6.2beta5 --depends system \
    --note "wireless drivers" -o "$OUT/wireless-6.2beta5.npk" "$(mk_tree wireless 6.2beta5)"
"$PKGTOOL" build --dev-key --name ntp --version 1.4 --depends system \
    -o "$OUT/ntp-1.4.npk" "$(mk_tree ntp 1.4)"
"$PKGTOOL" build --dev-key --name snmp --version 2.0 --depends system \
    -o "$OUT/snmp-2.0.npk" "$(mk_tree snmp 2.0)"
"$PKGTOOL" bundle --name extras --version 1.0 --note "optional extras" \
    --default-off snmp -o "$OUT/extras-1.0.npk" "$OUT/ntp-1.4.npk" "$OUT/snmp-2.0.npk"
ls -l "$OUT"

say "Inspecting the bundle"
"$PKGTOOL" inspect "$OUT/extras-1.0.npk" | head -40

say "Preparing a sandbox router root in $DEMO/root and uploading the packages"
ROOT="$DEMO/root"
mkdir -p "$ROOT/flash/var/pdb" "$ROOT/flash/boot" "$ROOT/flash/rw/pckg" "$ROOT/ram" "$ROOT/rw"
cp "$OUT/system-6.2.npk" "$OUT/routing-6.2.npk" "$OUT/wireless-6.2beta5.npk" \
    "$OUT/extras-1.0.npk" "$ROOT/flash/rw/pckg/"

say "Running the upgrade run: installer -r $ROOT"
"$INSTALLER" -r "$ROOT"
echo "(exit status $?)"

say "Listing: installer -r $ROOT --show   (X = disabled, B = installed with a bundle)"
"$INSTALLER" -r "$ROOT" --show

say "Upgrading routing to 6.3 from standard input: installer -r $ROOT -"
"$PKGTOOL" build --dev-key --name routing --version 6.3 --depends 'system>=6.0' \
    --note "routing protocols" -o "$OUT/routing-6.3.npk" "$(mk_tree routing 6.3)"
"$INSTALLER" -r "$ROOT" - < "$OUT/routing-6.3.npk"
"$INSTALLER" -r "$ROOT" --show

say "A damaged package is refused and changes nothing"
"$PKGTOOL" build --dev-key --name routing --version 6.4 --depends 'system>=6.0' \
    -o "$DEMO/damaged.npk" "$(mk_tree routing 6.4)" 2>/dev/null
printf '\x00' | dd of="$DEMO/damaged.npk" bs=1 seek=5000 conv=notrunc status=none
set +e
"$INSTALLER" -r "$ROOT" - < "$DEMO/damaged.npk"
echo "(exit status $?)"
set -e

say "What happened"
cat <<TEXT
- pkgtool built five packages and a bundle from small directory trees and signed them
  with the development key that this build of the installer trusts.
- The upgrade run found the uploads in /flash/rw/pckg/ of the sandbox, checked each
  package (signature, architecture, dependencies), ordered them so that system comes
  before what depends on it, staged every file in one transaction and committed it.
  The bundle "extras" installed ntp enabled and snmp disabled (its default-off list).
- The stream install replaced routing 6.2 by 6.3; a damaged copy was refused and the
  sandbox stayed as it was.
- Sandbox root: $ROOT   (the package database is in flash/var/pdb/,
  the messages of the runs in flash/postlog).
TEXT
