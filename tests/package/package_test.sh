#!/usr/bin/env bash
# The Debian package end to end: scripts/package builds it; its contents and control fields are
# checked, its AppStream file and desktop entry validated and lintian must report no error; then
# apt installs it, /usr/bin/vellipost must show its window under Xvfb (tests/app/smoke_test.sh),
# and the package is purged again. The dependencies apt pulled in stay, as they are the build's own.
# Needs root or sudo; refuses to run if a Vellipost package is already installed, since it would
# remove it.
# Usage: package_test.sh SOURCE-DIR VERSION
set -euo pipefail

src=${1:?usage: package_test.sh SOURCE-DIR VERSION}
source "$src/scripts/lib.sh"
version=${2:?usage: package_test.sh SOURCE-DIR VERSION}
arch=$(dpkg --print-architecture)
maintainer="Vellipost developers <maintainers@vellipost.invalid>"
metainfo=usr/share/metainfo/invalid.vellipost.Vellipost.metainfo.xml
desktop=usr/share/applications/vellipost.desktop

for tool in appstreamcli desktop-file-validate lintian dpkg-deb apt-get Xvfb; do
    command -v "$tool" >/dev/null || {
        echo "package: '$tool' not found (scripts/deps installs it)" >&2
        exit 1
    }
done
for name in vellipost vellipost-tls; do
    if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed'; then
        echo "package: $name is installed on this machine; remove it first (apt-get purge $name)" >&2
        exit 1
    fi
done

work=$(mktemp -d)
installed=0
cleanup() {
    if [[ $installed -eq 1 ]]; then
        as_root apt-get purge -y -qq -o DPkg::Lock::Timeout=600 vellipost >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

status=0
fail() {
    echo "package: $*" >&2
    status=1
}
step() {
    echo "package: [$((SECONDS))s] $*"
}

step "building with scripts/package"
if ! "$src/scripts/package" >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    fail "scripts/package failed"
    exit 1
fi
deb=$(tail -n 1 "$work/build.log")
[[ $(basename "$deb") == "vellipost_${version}_${arch}.deb" ]] || fail "package file is $deb"

step "contents (dpkg-deb -c)"
expected="./usr/bin/vellipost
./$desktop
./usr/share/doc/vellipost/README.md
./usr/share/doc/vellipost/changelog.gz
./usr/share/doc/vellipost/copyright
./usr/share/man/man1/vellipost.1.gz
./$metainfo"
for side in $(icon_sizes); do
    expected+=$'\n'"./usr/share/icons/hicolor/${side}x${side}/apps/vellipost.png"
done
dpkg-deb -c "$deb" | tee "$work/contents"
if ! diff <(sort <<<"$expected") <(awk '$1 !~ /^d/ { print $6 }' "$work/contents" | sort); then
    fail "contents differ (< expected, > in the package)"
fi
if awk '$2 != "root/root"' "$work/contents" | grep -q .; then
    fail "a file not owned by root"
fi

step "control fields"
dpkg-deb -f "$deb" | tee "$work/control"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == vellipost ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), not $version"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
[[ $(field Maintainer) == "$maintainer" ]] || fail "Maintainer: $(field Maintainer)"
[[ $(field Conflicts) == vellipost-tls ]] || fail "Conflicts: $(field Conflicts)"
[[ $(field Section) == mail ]] || fail "Section: $(field Section)"
# Package names only, without their versions.
depends=$(field Depends | tr ',' '\n' | awk '{ print $1 }')
for needed in fonts-wqy-zenhei qt6-translations-l10n ca-certificates libssl3 libqt6widgets6 libqt6gui6 libqt6core6 \
    libc6; do
    grep -qx "$needed" <<<"$depends" || fail "Depends lacks $needed"
done

step "appstreamcli validate, desktop-file-validate"
dpkg-deb -x "$deb" "$work/root"
appstreamcli validate --no-net "$work/root/$metainfo" || fail "appstreamcli validate failed"
if ! desktop-file-validate "$work/root/$desktop" >"$work/desktop.log" 2>&1 ||
    grep -E 'error|warning' "$work/desktop.log"; then
    cat "$work/desktop.log" >&2
    fail "desktop-file-validate complained"
fi

step "lintian"
# Its scratch files go to TMPDIR and some are left there: keep them in the folder we remove.
TMPDIR="$work" lintian --display-info --fail-on error "$deb" || fail "lintian reports an error"

step "apt-get install"
export DEBIAN_FRONTEND=noninteractive
installed=1
if ! as_root apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "$deb" \
    >"$work/apt.log" 2>&1; then
    cat "$work/apt.log" >&2
    fail "apt-get install failed"
    exit 1
fi
got=$(dpkg-query -W -f='${Status} ${Version}' vellipost)
[[ $got == "install ok installed $version" ]] || fail "after the install: $got"

step "/usr/bin/vellipost under Xvfb"
bash "$src/tests/app/smoke_test.sh" /usr/bin/vellipost || fail "the installed program showed no window"

step "apt-get purge"
as_root apt-get purge -y -qq -o DPkg::Lock::Timeout=600 vellipost >"$work/apt.log" 2>&1 ||
    fail "apt-get purge failed: $(cat "$work/apt.log")"
installed=0
if dpkg-query -W -f='${Status}' vellipost 2>/dev/null | grep -q 'ok installed'; then
    fail "still installed after the purge"
fi
for path in /usr/bin/vellipost /usr/share/doc/vellipost "/$metainfo" "/$desktop"; do
    [[ ! -e $path ]] || fail "$path left behind"
done

step "done"
exit "$status"
