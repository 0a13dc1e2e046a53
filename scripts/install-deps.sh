#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet. As root it
# runs apt-get; otherwise it prints the command to run.
set -euo pipefail

missing=()
for package in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "These packages are missing; install them with:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
