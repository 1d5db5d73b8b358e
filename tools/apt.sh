# Debian package installs for the tools and the checks (sourced, bash).
#
# A mirror in the middle of a sync serves, for a while, an index that does not match its
# Release file ("File has unexpected size", "Hash Sum mismatch", a by-hash file that is not
# there yet): apt-get update is then tried again a minute apart, and after the last try the
# install goes on with the lists there are, which are usually good enough. An install that
# still fails says which packages and why, in one line on standard error.
apt_tries=${ECBCAT_APT_TRIES:-3} apt_pause=${ECBCAT_APT_PAUSE:-60}

apt_update() {  # [apt-get option...]: returns non-zero when an index never came
  local try log status
  log=$(mktemp)
  for ((try = 1; ; try++)); do
    status=0
    apt-get "$@" update -qq >"$log" 2>&1 || status=$?
    # Older apt warns (W:) rather than fails when an index does not come.
    ((status == 0)) && ! grep -q 'Failed to fetch' "$log" && break
    if ((try >= apt_tries)); then
      echo "apt: apt-get update failed $try times, going on with the lists there are: $(apt_reason "$log")" >&2
      rm -f "$log" && return 1
    fi
    echo "apt: apt-get update failed ($(apt_reason "$log")); trying again in $apt_pause s" >&2
    sleep "$apt_pause"
  done
  rm -f "$log"
}

apt_updated=
apt_install() {  # package...: as root, once per process after one apt_update
  if ((EUID != 0)) || ! command -v apt-get >/dev/null; then
    echo "apt: cannot install $* (needs root and apt-get)" >&2 && return 1
  fi
  [[ -n $apt_updated ]] || { apt_update || true; apt_updated=1; }
  local log
  log=$(mktemp)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1 ||
    { echo "apt: could not install $*: $(apt_reason "$log")" >&2 && rm -f "$log" && return 1; }
  rm -f "$log"
}

apt_reason() {  # apt's output: its first line that names a package or an error
  { grep -m 1 -E ' : (Pre)?Depends: |^E: ' "$1" || tail -n 1 "$1"; } | sed 's/^ *//' | cut -c1-300
}
