#!/usr/bin/env bash
# The Debian package as an operator gets it: made from this build tree with
# CPack, checked by lintian (no errors) and desktop-file-validate, unpacked
# into a scratch root with dpkg -x, and its programs started from there. The
# links in /usr/bin are absolute, so they point into the installed system's
# program folder: the programs are started from the scratch program folder,
# and through a link of the test's own like those.
#
#   installed_package_test.sh <build dir> <source dir> <version> <fwloader-cli built: 0|1>
set -euo pipefail
build=$1
source=$2
version=$3
cli_built=$4

work=$(mktemp -d "$build/package-test.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    echo "-- $*"
}

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate; do
    command -v "$tool" >/dev/null || fail "$tool is missing: scripts/install-deps installs it"
done

step "making the package"
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack could not make the package"
fi
deb=$(echo "$work"/out/fwloader_"$version"_*.deb)
[ -f "$deb" ] || fail "no package fwloader_${version}_*.deb in $work/out"
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6core6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
    [[ "$depends" == *"$needed"* ]] || fail "the package does not depend on $needed"
done

step "lintian"
lintian_status=0
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
cat "$work/lintian.log"
[ "$lintian_status" -eq 0 ] || fail "lintian found errors (status $lintian_status)"

step "unpacking into a scratch root"
dpkg -x "$deb" "$work/root"
root=$(cd "$work/root" && pwd -P)
folder="$root/opt/fwloader"
desktop-file-validate "$root/usr/share/applications/fwloader.desktop" ||
    fail "desktop-file-validate rejects the desktop entry"
icon=$(sed -n 's/^Icon=//p' "$root/usr/share/applications/fwloader.desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
    fail "the desktop entry's icon $icon is not in the package"
grep -q 'ACTION=="add|bind".*ATTR{latency_timer}="1"' "$root"/usr/lib/udev/rules.d/*.rules ||
    fail "no udev rule sets the FTDI latency timer when the driver binds"

step "changelog and maintainer scripts"
gzip -dc "$root/usr/share/doc/fwloader/changelog.gz" >"$work/changelog"
newest=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[ "$newest" = "$version" ] || fail "the changelog's newest entry is $newest, not $version"
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
    [ -x "$work/control/$script" ] || fail "the package has no $script"
    sh -n "$work/control/$script" || fail "$script is no valid shell script"
done

for program in "$root"/usr/bin/*; do
    name=$(basename "$program")
    [ "$(readlink "$program")" = "/opt/fwloader/$name" ] ||
        fail "/usr/bin/$name is no absolute link to /opt/fwloader/$name"
    [ -x "$folder/$name" ] || fail "/usr/bin/$name points to no program in the package"
    mkdir -p "$work/bin"
    ln -s "$folder/$name" "$work/bin/$name"
done
export PATH="$work/bin:$PATH"
export QT_QPA_PLATFORM=offscreen
export FWLOADER_STORE_ROOT="$work/store"
mkdir -p "$work/store"
[ "$(command -v fwloader)" = "$work/bin/fwloader" ] ||
    fail "fwloader is not among the package's commands"

# Waits for the program started as $pid to end; its exit status in $status.
await_end() {
    status=0
    wait "$pid" || status=$?
    pid=
}

step "the window without Config.txt names the file in the program folder behind the link"
fwloader 2>"$work/missing.log" &
pid=$!
for _ in $(seq 100); do
    grep -q 'Config.txt' "$work/missing.log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
cat "$work/missing.log"
grep -qF "$folder/Config.txt" "$work/missing.log" ||
    fail "the start-up message does not name $folder/Config.txt"
kill -TERM "$pid" 2>/dev/null || true
await_end
# Ended by the signal while its message box was up: start-up failed (1).
[ "$status" -eq 1 ] || fail "without Config.txt the window ended with status $status, not 1"

step "the window with Config.txt in the program folder shows and ends on SIGTERM"
cp "$source/sample/Config.txt" "$folder/"
"$folder/fwloader" 2>"$work/window.log" &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || fail "the window ended by itself: $(cat "$work/window.log")"
kill -TERM "$pid"
await_end
cat "$work/window.log"
# Status 0 comes only from the window's event loop, after it was shown.
[ "$status" -eq 0 ] || fail "the window ended with status $status, not 0"
! grep -q 'Cannot start' "$work/window.log" || fail "the window did not start"

if [ "$cli_built" = 1 ] || [ -e "$root/usr/bin/fwloader-cli" ]; then
    step "the command line, from the program folder"
    [ -x "$folder/fwloader-cli" ] || fail "fwloader-cli is not in the program folder"
    output=$("$folder/fwloader-cli" --version) || fail "fwloader-cli --version failed"
    echo "$output"
    [[ "$output" == *"$version"* ]] || fail "fwloader-cli --version does not say $version"
fi
echo "the package installs and its programs start from it"
