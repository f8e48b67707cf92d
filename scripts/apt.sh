# Sourced by every script that needs Debian packages: one way to install what is missing, the same
# for all of them. apt_install [--recommends] PACKAGE... installs the packages that are not
# installed yet (nothing runs when all are there; without --recommends, no recommended packages);
# apt_get ARGS... runs apt-get as root, non-interactively. Both wait up to 15 minutes for another
# apt or dpkg to let go of its lock (CI installs from jobs that may overlap) instead of failing.
APT_SUDO=""
if [ "$(id -u)" -ne 0 ]; then APT_SUDO="sudo"; fi

apt_get() {
  DEBIAN_FRONTEND=noninteractive $APT_SUDO apt-get -o DPkg::Lock::Timeout=900 "$@"
}

apt_missing() {  # prints the given packages that are not installed
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

apt_install() {
  local recommends=--no-install-recommends
  if [ "${1:-}" = --recommends ]; then recommends=""; shift; fi
  local missing
  mapfile -t missing < <(apt_missing "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$(basename "$0" .sh): installing ${missing[*]}"
  # The package lists of a fresh machine (or an old one) may not know these packages yet.
  apt_get update -qq
  apt_get install -y -qq $recommends "${missing[@]}"
}
