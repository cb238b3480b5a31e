# Shared by the cross-build checks (sourced, not run): a target sysroot from
# the system's own package sources and GoogleTest built into it.

# fetch_sysroot ARCH SYSROOT WORK_DIR PACKAGE...
# Downloads the packages for ARCH with a private apt state (the host's
# architectures and package lists stay as they are), unpacks them into SYSROOT
# and keeps their absolute links inside it. Does nothing once SYSROOT is complete.
fetch_sysroot() {
    local arch="$1" sysroot="$2" work="$3"
    shift 3
    [ -f "$sysroot/.complete" ] && return 0
    log "assembling the $arch sysroot"
    local apt_dir="$work/apt"
    rm -rf "$sysroot" "$apt_dir"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/debs"
    : >"$apt_dir/status"
    local apt_options=(
        -o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
        -o "Dir::Cache=$apt_dir/cache" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root"
    )
    apt-get "${apt_options[@]}" update -qq
    (cd "$apt_dir/debs" && apt-get "${apt_options[@]}" download -qq "$@")
    mkdir -p "$sysroot"
    local deb
    for deb in "$apt_dir"/debs/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
    done
    # Links such as libz.so point at absolute target paths: keep them inside the sysroot.
    find "$sysroot" -type l -lname '/*' | while read -r link; do
        ln -sfn "$sysroot$(readlink "$link")" "$link"
    done
    rm -rf "$apt_dir"
    touch "$sysroot/.complete"
}

# build_googletest ARCH TOOLCHAIN SYSROOT_VARIABLE SYSROOT WORK_DIR JOBS
# GoogleTest for the target, from the sources Debian ships, installed into the
# sysroot (the toolchain file reads the sysroot from SYSROOT_VARIABLE).
build_googletest() {
    local arch="$1" toolchain="$2" variable="$3" sysroot="$4" work="$5" jobs="$6"
    [ -f "$sysroot/usr/.googletest-complete" ] && return 0
    log "building GoogleTest for $arch"
    rm -rf "$work/googletest"
    cmake -S /usr/src/googletest -B "$work/googletest" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -D"$variable"="$sysroot" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$sysroot/usr" >/dev/null
    cmake --build "$work/googletest" -j "$jobs" >/dev/null
    cmake --install "$work/googletest" >/dev/null
    rm -rf "$work/googletest"
    touch "$sysroot/usr/.googletest-complete"
}
