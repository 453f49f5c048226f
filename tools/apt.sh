# The apt side of tools/env, sourced by it (and by the tests of these
# functions): installing packages with apt's resolver, trying again on a
# failure of the network, and saying which package failed and why.
#
# Expects $here (the tools directory) and a function in_target TARGET CMD...
# that runs CMD in the system TARGET ("" for this machine).

# The lists (tools/packages/NAME.txt) that name package $1, for messages.
lists_naming() {
  local found
  found=$(cd "$here/packages" && grep -l -x -F -- "$1" ./*.txt 2>/dev/null | sed 's|^\./|tools/packages/|' | paste -sd, - || true)
  [ -n "$found" ] && echo " (listed in ${found//,/, })"
}

# What apt's output in file $1 says went wrong: a line for each package it
# names as the cause, quoting apt's reason, then apt's errors with the
# explanation that follows them (the resolver's chain of choices).
apt_diagnosis() {
  local log=$1 line pkg dpkg_pkg=
  while IFS= read -r line; do
    # dpkg gives its reason on the line after the one naming the package.
    if [ -n "$dpkg_pkg" ]; then
      echo "tools/env: cannot install $dpkg_pkg$(lists_naming "$dpkg_pkg"): dpkg: ${line#"${line%%[! ]*}"}" >&2
      dpkg_pkg=
      continue
    fi
    pkg=
    case "$line" in
      "dpkg: error processing package "*) dpkg_pkg=${line#dpkg: error processing package }; dpkg_pkg=${dpkg_pkg%% *}; continue ;;
      "E: Unable to locate package "*) pkg=${line#E: Unable to locate package } ;;
      "E: Package '"*"' has no installation candidate") pkg=${line#E: Package \'}; pkg=${pkg%%\'*} ;;
      " "*" : "*) pkg=${line#"${line%%[! ]*}"}; pkg=${pkg%% *} ;;
    esac
    if [ -n "$pkg" ]; then
      echo "tools/env: cannot install $pkg$(lists_naming "$pkg"): ${line#"${line%%[! ]*}"}" >&2
    fi
  done <"$log"
  # An error line and the indented lines after it, at most twelve in all.
  awk '/^E: (Unable to locate package |Package .* has no installation candidate)/ {keep = 0; next}
       /^E: / {keep = 1; print; next} keep && /^ / {print; next} {keep = 0}' "$log" |
    head -n 12 | sed 's/^/tools\/env: apt: /' >&2
}

# True when apt's output in file $1 shows a failure of the network or the
# mirror, which a second try may not meet.
transient_failure() {
  grep -q -E "Failed to fetch|Temporary failure|Could not connect|Connection (failed|timed out|reset|refused)|Unable to fetch some archives|Hash Sum mismatch|File has unexpected size|Undetermined Error|Unable to connect|Could not resolve|Network is unreachable" "$1"
}

# Installs packages into TARGET with apt's resolver, without recommends. A
# failure of the network is tried again (three tries, waiting longer each
# time); any other failure names the package and apt's reason.
apt_install() {
  local target=$1; shift
  [ $# -gt 0 ] || return 0
  local log try
  log=$(mktemp)
  echo "tools/env: installing $# packages with apt: $*" >&2
  for try in 1 2 3; do
    if in_target "$target" env DEBIAN_FRONTEND=noninteractive sh -c '
         apt-get -o Acquire::Check-Valid-Until=false -o Acquire::Retries=3 -q update &&
         apt-get -o Acquire::Check-Valid-Until=false -o Acquire::Retries=3 -q -y \
           -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
           install --no-install-recommends "$@"' sh "$@" >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    transient_failure "$log" && [ "$try" -lt 3 ] || break
    echo "tools/env: apt met a network failure (try $try of 3); trying again:" >&2
    grep -E '^(E|W|Err):? ' "$log" | head -n 3 >&2 || true
    sleep $((try * 10))
  done
  apt_diagnosis "$log"
  echo "tools/env: apt's whole output: $log" >&2
  exit 1
}
