# Sourced by the scripts that build Debian's own source packages for mingw (bootstrap-windows.sh,
# bootstrap-windows-qt.sh). debian_source PACKAGE[=VERSION] DIR APTDIR [apt-get source options]
# fetches the source package into DIR through a private apt configuration in APTDIR that knows
# the machine's own archives as source archives, so that the machine's apt setup stays as it is.
debian_source() {
  local package=$1 dir=$2 aptdir=$3
  shift 3
  mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$dir"
  : > "$aptdir/sources.list"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*deb\b.*/Types: deb-src/' "$f" > "$aptdir/sources.list.d/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > "$aptdir/sources.list" || true
  fi
  local opts=(-o "Dir::Etc::SourceList=$aptdir/sources.list" -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
              -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache" -o "APT::Sandbox::User=root")
  apt-get "${opts[@]}" update -qq
  (cd "$dir" && apt-get "${opts[@]}" source -qq "$@" "$package" >/dev/null)
}
