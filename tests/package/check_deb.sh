#!/usr/bin/env bash
# Checks a built parcelmoor .deb: what it installs where, that it depends only
# on packages Debian has, that its documents and manual page are whole, that
# removing it stops the service, and that the packaged binary stores an
# upload when run from the unpacked tree.
set -euo pipefail
deb="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}" >/dev/null 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
}

listing="$(dpkg-deb -c "$deb")"
for path in ./usr/bin/parcelmoor ./usr/lib/x86_64-linux-gnu/qelt_parcelmoor.so \
            ./usr/include/parcelmoor/server_abi.h ./usr/lib/systemd/system/parcelmoor.service \
            ./usr/share/doc/parcelmoor/docs/hosting.md ./usr/share/doc/parcelmoor/copyright \
            ./usr/share/man/man1/parcelmoor.1.gz; do
  check "package holds $path" grep -qF " $path" <<<"$listing"
done
depends="$(dpkg-deb -f "$deb" Depends)"
check "depends on libc6 ($depends)" grep -q 'libc6' <<<"$depends"
# Opened at run time by soname, so not found by dpkg-shlibdeps: named by hand.
for pkg in libcurl4 libmagic1 libhiredis0.14; do
  check "depends on $pkg, opened at run time ($depends)" grep -qw "$pkg" <<<"$depends"
done
# Every dependency must be a package this machine's Debian archive knows.
for pkg in $(tr ',' '\n' <<<"$depends" | sed 's/(.*)//; s/|.*//' | tr -d ' '); do
  check "dependency $pkg is a Debian package" apt-cache show "$pkg"
done

dpkg-deb -x "$deb" "$root"
unit="$root/usr/lib/systemd/system/parcelmoor.service"
for line in 'ExecStart=/usr/bin/parcelmoor serve' DynamicUser=yes StateDirectory=parcelmoor \
            ProtectSystem=strict NoNewPrivileges=yes Restart=on-failure KillSignal=SIGTERM; do
  check "unit has $line" grep -q "^$line" "$unit"
done

# Every document the installed README links to is installed where the link
# leads, and so is every document those link to.
doc="$root/usr/share/doc/parcelmoor"
for page in "$doc"/README.md "$doc"/docs/*.md; do
  for target in $(grep -oE '\]\([^)#]+' "$page" | sed 's/^](//' | grep -vE '^[a-z]+:' | sort -u); do
    check "${page#"$doc"/} links to $target, which is installed" test -f "$(dirname "$page")/$target"
  done
done
check "copyright is in Debian's machine-readable format" \
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright"
check "copyright covers every file" grep -qx 'Files: \*' "$doc/copyright"

# Removing the package stops the service before its files go.
control="$root/control"
dpkg-deb -e "$deb" "$control"
check "prerm is executable" test -x "$control/prerm"
check "prerm is valid sh" sh -n "$control/prerm"
check "prerm stops the service on remove" grep -qE '^ *systemctl stop parcelmoor\.service' "$control/prerm"
check "postrm tells systemd the unit is gone" grep -q 'systemctl daemon-reload' "$control/postrm"

bin="$root/usr/bin/parcelmoor"
# The manual page renders cleanly, with a section per command, and its serve
# section names every option the packaged `serve --help` names.
page="$root/usr/share/man/man1/parcelmoor.1.gz"
check "manual page renders without warnings" test -z "$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)"
manual="$(zcat "$page" | groff -man -Tutf8 -P-cbou 2>/dev/null)"
for section in 'PARCELMOOR SERVE' 'PARCELMOOR CGI' 'PARCELMOOR STORE' 'PARCELMOOR SWEEP' \
               'EXIT STATUS' ENVIRONMENT EXAMPLES 'SEE ALSO'; do
  check "manual page has $section" grep -q "^$section\$" <<<"$manual"
done
serve_manual="$(sed -n '/^PARCELMOOR SERVE$/,/^PARCELMOOR CGI$/p' <<<"$manual")"
for option in $("$bin" serve --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
  check "manual page lists serve $option" grep -qe "$option" <<<"$serve_manual"
done

body="$root/body"
printf -- '--B\r\nContent-Disposition: form-data; name="f"; filename="hello.txt"\r\n\r\nhello package\r\n--B--\r\n' >"$body"
mkdir "$root/up"
check "packaged binary stores an upload" "$bin" store --dir "$root/up" "$body"
check "stored bytes are exact" cmp -s "$root/up/hello.txt" <(printf 'hello package')

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
