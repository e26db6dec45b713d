#!/usr/bin/env bash
# Installs every build and test dependency from Debian 12 packages.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  qt6-base-dev libplist-dev libsqlite3-dev sqlite3 libcurl4-openssl-dev zlib1g-dev \
  libssl-dev libarchive-dev libxxhash-dev chromium libgtest-dev libgmock-dev libbenchmark-dev python3 >/dev/null
