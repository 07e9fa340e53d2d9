# Shared by scripts/test and scripts/demo: install what is missing, then build.
set -euo pipefail

KESTREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the test suite and the benchmark scripts need.
KESTREL_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev libssl-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  tar gzip python3 libxml2-utils tmux openssh-client openssh-server
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  time bc
)

kestrel_install_missing() {
  local missing=()
  local package
  for package in "${KESTREL_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# kestrel_build <dir> <cmake options...>
kestrel_build() {
  local dir=$1
  shift
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_ROOT/$dir" -G Ninja "$@" >/dev/null
  # The full compiler output only when something fails.
  local log="$KESTREL_ROOT/$dir.build.log"
  if ! cmake --build "$KESTREL_ROOT/$dir" >"$log" 2>&1; then
    grep -E 'error|FAILED' -A8 "$log" | head -n 80
    echo "Build in $dir failed; the whole output is in $log"
    return 1
  fi
  rm -f "$log"
}
