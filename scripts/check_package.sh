#!/usr/bin/env bash
# Checks a built package: the files it must hold (dpkg-deb -c), its maintainer scripts,
# lintian (no errors) and the systemd unit (systemd-analyze verify, on the unpacked files).
#   check_package.sh DEB
set -euo pipefail
deb="$1"
fail() { echo "check_package: $*" >&2; exit 1; }

listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for path in \
  /usr/bin/velmora-nvr \
  /usr/share/applications/velmora-nvr.desktop \
  /usr/share/icons/hicolor/scalable/apps/velmora-nvr.svg \
  /usr/share/doc/velmora-nvr/manual/index.html \
  /usr/share/doc/velmora-nvr/copyright \
  /usr/share/doc/velmora-nvr/changelog.Debian.gz \
  /usr/share/man/man1/velmora-nvr.1.gz \
  /lib/systemd/system/velmora-nvr.service; do
  grep -qxF "$path" <<<"$listing" || fail "$path is missing from $deb"
done
# Nothing of the build or the tests goes into the package.
if grep -E 'camsim|/test_|bench_|\.a$' <<<"$listing"; then fail "build or test files in $deb"; fi
for script in postinst prerm postrm; do
  dpkg-deb -I "$deb" "$script" >/dev/null || fail "$script is missing from $deb"
done
# The libraries the binary links, worked out by dpkg-shlibdeps.
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || fail "Depends lacks the libraries of the binary"

lintian --fail-on error --tag-display-limit 0 "$deb"

# The unit as installed, checked against the unpacked package: verify needs the program
# its ExecStart names, so the unpacked tree stands in for the root.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
unit="$root/lib/systemd/system/velmora-nvr.service"
sed "s|^ExecStart=/usr/bin/velmora-nvr|ExecStart=$root/usr/bin/velmora-nvr|" "$unit" >"$root/velmora-nvr.service"
out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$root/velmora-nvr.service" 2>&1) || {
  echo "$out"
  fail "systemd-analyze verify refused the unit"
}
# verify passes some findings as warnings only: any line about the unit fails the check.
if grep -F 'velmora-nvr.service' <<<"$out"; then fail "systemd-analyze verify: findings on the unit"; fi
echo "check_package: $(basename "$deb") holds its files; lintian and systemd-analyze verify accept it"
