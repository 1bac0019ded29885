#!/usr/bin/env bash
# usage: install_tree.sh BUILD_DIR
#
# `cmake --install` into a temporary prefix: exactly the files of layout.txt; the desktop entries,
# AppStream metainfo and user unit pass the validators desktops and systemd use; the man pages
# have the programs' options; and the installed programs run from there (installed_host.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >"$work/installed.txt"
LC_ALL=C sort "$here/layout.txt" >"$work/expected.txt"
if ! diff -u "$work/expected.txt" "$work/installed.txt"; then
  echo "install_tree: the installed files differ from layout.txt (- expected, + installed)" >&2
  exit 1
fi

# desktop-file-validate fails on errors only; warnings fail here too (hints do not).
for entry in "$prefix"/share/applications/*.desktop "$prefix"/share/ferrowin/autostart/*.desktop; do
  desktop-file-validate "$entry" >"$work/desktop.txt" 2>&1 &&
    ! grep -q ': \(error\|warning\):' "$work/desktop.txt" || { cat "$work/desktop.txt" >&2; exit 1; }
done
appstreamcli validate --no-net "$prefix"/share/metainfo/*.metainfo.xml
# systemd-analyze --user needs a runtime directory, not a running user manager. Its warnings
# (unknown keys, bad values) do not change its exit status, so any output fails too. Where man
# is installed it also resolves the unit's Documentation= against our own pages.
mkdir -m 700 "$work/runtime"
man_check=(--man=no)
if command -v man >/dev/null; then man_check=(--man=yes); fi
XDG_RUNTIME_DIR=$work/runtime MANPATH=$prefix/share/man \
  systemd-analyze --user verify "${man_check[@]}" \
  "$prefix/lib/systemd/user/ferrowin-server.service" >"$work/verify.txt" 2>&1 ||
  { cat "$work/verify.txt" >&2; exit 1; }
if [ -s "$work/verify.txt" ]; then cat "$work/verify.txt" >&2; exit 1; fi
grep -qx "ExecStart=$prefix/bin/ferrowin-server \$FERROWIN_SERVER_OPTIONS" \
  "$prefix/lib/systemd/user/ferrowin-server.service" ||
  { echo "install_tree: the unit does not run $prefix/bin/ferrowin-server" >&2; exit 1; }
for page in "$prefix"/share/man/man1/*.1.gz; do
  # help2man's page, with the options from --help and our own sections.
  zcat "$page" | grep -qF -- '\-\-version' || { echo "install_tree: $page lacks the options" >&2; exit 1; }
  zcat "$page" | grep -q '^\.SH "SEE ALSO"' || { echo "install_tree: $page lacks SEE ALSO" >&2; exit 1; }
done

"$here/installed_host.sh" "$prefix"
