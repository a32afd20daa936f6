#!/usr/bin/env bash
# Builds the Debian package of the build tree (cpack -G DEB with the tree's
# own CPackConfig.cmake, into a folder of its own) and checks its control
# data (name, Depends) and that it carries every installed file: the tool,
# the header, the library with its soname link, the pkg-config file, the
# CMake package, the host's user unit and the private logging library.
# cpack runs the tree's install step, which first brings the tree up to date:
# in a built tree that finds nothing to do. Skipped (77) without dpkg-deb or
# dpkg-shlibdeps (the package's Depends line comes from the latter).
#   deb_package_test.sh BUILD_DIR
set -u
build=$1

fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
mkdir -p "$build/install-tests"
work=$(mktemp -d "$build/install-tests/deb.XXXXXX") || fail "no work folder"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
debs=("$work"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "not one package in $work: ${debs[*]}"
deb=${debs[0]}

info=$(dpkg-deb --info "$deb") || fail "dpkg-deb --info"
grep -qx ' Package: krplib' <<<"$info" || fail "package name: $(grep 'Package:' <<<"$info")"
grep -qE '^ Depends: .*libc6' <<<"$info" || fail "Depends: $(grep 'Depends:' <<<"$info")"

# Paths as dpkg-deb lists them ("./usr/..."), a symbolic link with its
# " -> target"; the library folder may carry a multiarch part.
contents=$(dpkg-deb --contents "$deb" |
           awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }') ||
  fail "dpkg-deb --contents"
lib='\./usr/lib(/[^/]+)?'
status=0
while IFS='|' read -r what pattern; do
  grep -qE "^$pattern\$" <<<"$contents" || { echo "FAIL: no $what ($pattern)"; status=1; }
done <<EOT
the tool|\./usr/bin/krpctl
the header|\./usr/include/krplib\.h
the library|$lib/libkrplib\.so\.8\.[0-9]+\.[0-9]+
the soname link|$lib/libkrplib\.so\.8 -> libkrplib\.so\.8\.[0-9]+\.[0-9]+
the pkg-config file|$lib/pkgconfig/krplib\.pc
the CMake package|$lib/cmake/krplib/krplibConfig\.cmake
the CMake package version|$lib/cmake/krplib/krplibConfigVersion\.cmake
the CMake targets|$lib/cmake/krplib/krplibTargets\.cmake
the user unit|\./usr/lib/systemd/user/krplib-host\.service
the private logging library|$lib/krplib/libtracelib\.so
EOT
if [ $status -ne 0 ]; then
  echo "the package holds:"; echo "$contents"; exit 1
fi
rm -rf "$work"
echo "pass: $(wc -l <<<"$contents") entries"
