# Sourced by tools/sample.sh and tools/test.sh:
#   install_missing [--no-install-recommends] PACKAGE...
# installs with apt-get the Debian packages that are not installed yet (with
# sudo when not root), updating the package lists once. Returns non-zero,
# saying why, when they cannot be installed.
install_missing() {
  local options=() need=() sudo=() pkg
  [ "$1" = --no-install-recommends ] && { options=("$1"); shift; }
  for pkg in "$@"; do
    # dpkg -s alone also knows removed packages whose configuration is left
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" = installed ] || need+=("$pkg")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  if ! command -v apt-get >/dev/null; then
    echo "no apt-get here: install ${need[*]} (or your system's equivalents) yourself" >&2
    return 1
  fi
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null || { echo "not root and no sudo: cannot install ${need[*]}" >&2; return 1; }
    sudo=(sudo)
  fi
  echo "installing: ${need[*]}"
  if [ -z "${apt_lists_updated:-}" ]; then
    "${sudo[@]}" apt-get update -qq -o DPkg::Lock::Timeout=600 || { echo "apt-get update failed" >&2; return 1; }
    apt_lists_updated=1
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
    "${options[@]}" "${need[@]}" >/dev/null || { echo "could not install ${need[*]}" >&2; return 1; }
}
