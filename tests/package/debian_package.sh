#!/usr/bin/env bash
# usage: debian_package.sh BUILD_DIR
#
# Builds the Debian package from an already built tree (into a temporary directory) and checks
# it without installing it: its name and fields, that it holds exactly the files of layout.txt
# under /usr, stripped, that Depends names the package of every library a program links against,
# its maintainer scripts, and that the host, helper and client run from the extracted tree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "debian_package: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$work/out/ferrowin_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ferrowin ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"

root=$work/root
dpkg-deb -x "$deb" "$root"
(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >"$work/packaged.txt"
sed 's|^|usr/|' "$here/layout.txt" | LC_ALL=C sort >"$work/expected.txt"
diff -u "$work/expected.txt" "$work/packaged.txt" ||
  fail "the package's files differ from layout.txt under usr/ (- expected, + packaged)"
grep -qx "ExecStart=/usr/bin/ferrowin-server \$FERROWIN_SERVER_OPTIONS" \
  "$root/usr/lib/systemd/user/ferrowin-server.service" || fail "the unit does not run /usr/bin"

# Every library a program links against directly comes from a package that Depends names.
# The libraries: each program's NEEDED entries, found where the loader finds them.
programs=0
while IFS= read -r file; do
  objdump -p "$file" >/dev/null 2>&1 || continue
  programs=$((programs + 1))
  if objdump -h "$file" | grep -q '\.debug_info'; then fail "${file#"$root"} is not stripped"; fi
  resolved=$(ldd "$file")
  for soname in $(objdump -p "$file" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(awk -v s="$soname" '$1 == s && $2 == "=>" { print $3 }' <<<"$resolved")
    # The dynamic loader itself is listed by its path, without "=>".
    [ -n "$path" ] || path=$(awk -v s="/$soname" 'substr($1, length($1) - length(s) + 1) == s { print $1 }' <<<"$resolved")
    [ -n "$path" ] || fail "${file#"$root"}: $soname not found"
    echo "${file#"$root"} $soname $path"
  done
done < <(find "$root" -type f) >"$work/needed.txt"
[ "$programs" -eq 3 ] || fail "expected three programs, found $programs"

# Their packages, in one query (dpkg -S is slow): dpkg knows a library by the path its package
# ships, /lib or /usr/lib (merged /usr), so both are asked.
declare -A owner provides
paths=$(awk '{ print $3 }' "$work/needed.txt" | sort -u)
while IFS= read -r line; do
  owner[${line#*: }]=${line%%:*}
done < <(dpkg -S $(sed 's|^/usr||' <<<"$paths") $(sed 's|^/lib|/usr/lib|' <<<"$paths") 2>/dev/null |
         grep -v '^diversion')
while read -r package names; do
  provides[$package]=$names
done < <(dpkg-query -W -f='${Package} ${Provides}\n' $(printf '%s\n' "${owner[@]}" | sort -u))

depends=$(field Depends | tr ',|' '\n\n' | sed 's/(.*//; s/:any//; s/ //g' | grep -v '^$')
while read -r file soname path; do
  package=${owner[$path]:-${owner[${path#/usr}]:-${owner[/usr$path]:-}}}
  [ -n "$package" ] || fail "$file: no package owns $path"
  # Named itself, or through a name it provides (libspdlog1.10 provides libspdlog1.10-fmt9).
  names=$(printf '%s, %s' "$package" "${provides[$package]:-}" | tr ',' '\n' |
          sed 's/(.*//; s/ //g' | grep -v '^$')
  grep -qxFf <(echo "$names") <<<"$depends" ||
    fail "$file links $soname from $package, which Depends lacks: $(field Depends)"
done <"$work/needed.txt"
# A plugin is not linked: gdk-pixbuf reads SVG icons through librsvg's loader.
if grep -q ' libgdk_pixbuf-2.0.so' "$work/needed.txt"; then
  grep -qx librsvg2-common <<<"$depends" || fail "gdk-pixbuf's SVG loader is not in Depends"
fi

# The udev rule is applied on install and forgotten on removal.
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script"
  grep -q "udevadm control --reload-rules" "$work/control/$script" || fail "$script reloads no rules"
done
[ ! -e "$work/control/conffiles" ] || fail "conffiles: $(cat "$work/control/conffiles")"

"$here/installed_host.sh" "$root/usr"
