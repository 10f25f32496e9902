#!/usr/bin/env bash
# ensure_packages.sh PACKAGE... -- installs the Debian packages that are
# missing, when running as root; otherwise says which ones to install.
set -u
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "ostrel: missing Debian packages ${missing[*]}; install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "ostrel: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -qq "${missing[@]}" >/dev/null; then
  apt-get update -qq >/dev/null && apt-get install -y -qq "${missing[@]}" >/dev/null || {
    echo "ostrel: could not install ${missing[*]}" >&2
    exit 1
  }
fi
