# Debian packages the build and the tests need. Sourced by the scripts.
TESSALIN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
  rsyslog rsyslog-openssl iproute2 util-linux procps python3
  clang-format
  mmdebstrap systemd-container arping
  zip
  clang libclang-rt-dev
)

install_build_deps() {
  local missing=()
  local p
  for p in "${TESSALIN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null || return 1
}
