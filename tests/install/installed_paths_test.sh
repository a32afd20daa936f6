#!/usr/bin/env bash
# Installs the build tree the way the Debian package does (prefix /usr into a
# staging folder, stripped) and checks that no installed file names the
# source or the build folder, and that no installed binary keeps a run path
# other than one relative to itself.
#   installed_paths_test.sh BUILD_DIR SOURCE_DIR READELF
set -u
build=$1 src=$2 readelf=$3

mkdir -p "$build/install-tests"
work=$(mktemp -d "$build/install-tests/paths.XXXXXX") || exit 1
stage=$work/stage
if ! DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >"$work/install.log" 2>&1; then
  cat "$work/install.log"; exit 1
fi
status=0
while IFS= read -r -d '' f; do
  if grep -q -a -F -e "$src/" -e "$build/" "$f"; then
    echo "FAIL: ${f#"$stage"} names $(grep -o -a -F -e "$src/" -e "$build/" "$f" | head -n 1)"
    status=1
  fi
  if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = "177ELF" ]; then
    runpath=$("$readelf" -d "$f" | grep -E "\((RPATH|RUNPATH)\)" | sed -E 's/.*\[(.*)\]/\1/')
    for p in $(tr ':' ' ' <<<"$runpath"); do
      case $p in
        '$ORIGIN'*) ;;
        *) echo "FAIL: ${f#"$stage"} has the run path $p"; status=1 ;;
      esac
    done
  fi
done < <(find "$stage" -type f -print0)
[ $status -eq 0 ] && echo "pass: $(find "$stage" -type f | wc -l) files" && rm -rf "$work"
exit $status
