#!/usr/bin/env bash
# Builds the Debian package, installs it system-wide with apt-get (so its dependencies resolve
# as a user's would), checks the installed programs, rule, manual page, completion and desktop
# entry, then purges it and checks that none of its files remain. Because it changes the
# machine, it runs only under CI (CI=true) or with QUILLON_ALLOW_SYSTEM_INSTALL=1.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${CI:-}" != "true" ] && [ "${QUILLON_ALLOW_SYSTEM_INSTALL:-}" != "1" ]; then
  echo "test-package: installs and purges the quillon package system-wide; run it on a scratch" >&2
  echo "machine with QUILLON_ALLOW_SYSTEM_INSTALL=1 (CI=true does the same)." >&2
  exit 2
fi
. scripts/apt.sh
start=$(date +%s)
fail() { echo "test-package: FAIL: $*" >&2; exit 1; }

# The checkers this test runs, besides what the package build installs.
apt_install desktop-file-utils man-db shared-mime-info

bash scripts/package.sh
deb=$(ls build/packages/quillon_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
if dpkg-query -W -f='${Status}' quillon 2>/dev/null | grep -q "installed"; then
  fail "quillon is already installed on this machine; purge it first"
fi
apt_get install -y -qq "./$deb"
files=$(dpkg -L quillon)
echo "== installed $deb ($version): $(echo "$files" | wc -l) paths"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The programs, from /usr/bin, as a user runs them.
[ "$(command -v quillon-cli)" = /usr/bin/quillon-cli ] || fail "quillon-cli is not /usr/bin/quillon-cli"
[ "$(quillon-cli --version)" = "quillon-cli $version" ] || fail "quillon-cli --version: $(quillon-cli --version)"
cp examples/blink/blink.ihx "$scratch/"
(cd "$scratch" && quillon-cli --sim write --chip NRF24LE1_16K blink.ihx) || fail "simulated write of the example"
[ -s "$scratch/blink.ihx.bin" ] || fail "the write left no BIN copy of the image"
gui=$(QT_QPA_PLATFORM=offscreen quillon --version)
[ "$gui" = "quillon $version (build 200)" ] || fail "quillon --version: $gui"

# The udev rule: where udev reads rules, matching the programmer's hidraw node only.
rule=/usr/lib/udev/rules.d/70-quillon-programmer.rules
[ -f "$rule" ] || fail "no $rule"
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
  udevadm verify "$rule" || fail "udevadm verify $rule"
else
  line=$(grep -v '^#' "$rule" | grep .)
  for key in 'SUBSYSTEM=="hidraw"' 'ATTRS{idVendor}=="04d8"' 'ATTRS{idProduct}=="003f"' 'TAG+="uaccess"' \
             'MODE="0660"' 'GROUP="plugdev"'; do
    grep -qF "$key" <<<"$line" || fail "$rule lacks $key"
  done
  echo "== udevadm verify not available here: the rule's match keys checked by text"
fi

# Manual pages, completion, desktop entry, icon, MIME type, documentation.
man -w quillon-cli | grep -q '^/usr/share/man/man1/quillon-cli.1.gz$' || fail "man -w quillon-cli"
man -w quillon | grep -q '^/usr/share/man/man1/quillon.1.gz$' || fail "man -w quillon"
completion=/usr/share/bash-completion/completions/quillon-cli
bash -c "source $completion && complete -p quillon-cli" | grep -q _quillon_cli || fail "completion $completion"
[ "$(bash -c "source $completion; COMP_WORDS=(quillon-cli wri); COMP_CWORD=1; _quillon_cli; echo \${COMPREPLY[*]}")" = write ] ||
  fail "the completion does not complete 'wri'"
desktop-file-validate /usr/share/applications/quillon.desktop || fail "desktop-file-validate"
[ -f /usr/share/icons/hicolor/scalable/apps/quillon.svg ] || fail "no hicolor icon"
[ -f /usr/share/mime/text/x-hex.xml ] || fail "the MIME database was not updated (no text/x-hex)"
grep -q 'text/x-hex' /usr/share/applications/mimeinfo.cache || fail "the desktop database does not list text/x-hex"
grep -q '^License: Expat' /usr/share/doc/quillon/copyright || fail "copyright"
zcat /usr/share/doc/quillon/changelog.gz | head -1 | grep -qF "quillon ($version)" || fail "changelog.gz"

# Purge: no file of the package stays, and the databases forget the type again.
apt_get purge -y -qq quillon
left=()
while IFS= read -r path; do
  [ -f "$path" ] || [ -L "$path" ] && left+=("$path")
done <<<"$files"
[ ${#left[@]} -eq 0 ] || fail "left after purge: ${left[*]}"
[ ! -e /usr/share/mime/text/x-hex.xml ] || fail "text/x-hex still in the MIME database after purge"
! dpkg-query -W quillon >/dev/null 2>&1 || fail "dpkg still knows quillon"
echo "== test-package: all checks passed in $(( $(date +%s) - start )) s"
