# Debian source packages for the scripts that need them: a temporary
# source-package entry derived from the machine's own apt configuration, and
# a download that falls back to older versions. Sourced, not run; the caller
# runs as root and calls deb_src_remove when it ends (a trap is the place).

deb_src_list=/etc/apt/sources.list.d/norvane-deb-src.sources

# The same archives as the machine's deb entries with Types: deb-src, then an
# apt-get update so that apt-get source sees them.
deb_src_add() {
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && [ "$f" != "$deb_src_list" ] || continue
      sed -n 's/^Types:.*deb\b.*/Types: deb-src/; p' "$f"
      echo
    done
    if [ -f /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | while read -r _ rest; do
        echo "Types: deb-src"
        set -- $rest
        echo "URIs: $1"; shift
        echo "Suites: $1"; shift
        echo "Components: $*"
        echo
      done
    fi
  } > "$deb_src_list.tmp"
  # keep only stanzas that name Debian's own archives (drop vendor repositories)
  awk 'BEGIN{RS=""; ORS="\n\n"} /URIs:.*debian/ {print}' "$deb_src_list.tmp" > "$deb_src_list"
  rm -f "$deb_src_list.tmp"
  apt-get update -qq >/dev/null
}

# Takes the entry out again. With an argument "update", apt's lists are
# refreshed as well, so that no source index is left behind.
deb_src_remove() {
  rm -f "$deb_src_list"
  if [ "${1:-}" = update ]; then
    apt-get update -qq >/dev/null 2>&1 || true
  fi
}

# deb_src_fetch SOURCE WANTED-VERSION DIR: downloads the source package into
# DIR and extracts it to DIR/src, the wanted version first, falling back to
# older versions when the archive lacks a tarball. Prints the version that
# was fetched.
deb_src_fetch() {
  local src=$1 want=$2 dir=$3 v
  mkdir -p "$dir"
  local versions
  versions=$( { echo "$want"; apt-cache showsrc "$src" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -Vr; } | awk 'NF && !seen[$0]++')
  for v in $versions; do
    if (cd "$dir" && apt-get source -qq --download-only "$src=$v" >/dev/null 2>&1); then
      (cd "$dir" && dpkg-source -x --no-check ./*.dsc src >/dev/null 2>&1)
      echo "$v"
      return 0
    fi
    echo "  $src $v did not download; trying an older version" >&2
    rm -rf "${dir:?}"/*
  done
  echo "no version of $src could be downloaded" >&2
  return 1
}
