#!/usr/bin/env bash
# Builds a release without the tests and writes the Debian package into dist/:
#   dist/ostrelle-vantorel_<version>_<arch>.deb
# With -G RPM (on a system with rpmbuild) it writes an RPM of the same contents instead.
set -euo pipefail
cd "$(dirname "$0")/.."

generator=DEB
if [ "${1:-}" = "-G" ] && [ -n "${2:-}" ]; then
    generator="$2"
fi
[ "$generator" = DEB ] && bash tools/install-deps.sh

build_dir="build-package"
# The package needs only the executable and its documents; cpack is kept from building the
# demo server and its support library as well.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVT_BUILD_TESTS=OFF -DVT_PACKAGE=ON \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" \
    -DCMAKE_MODULE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target vantorel vt_package_docs
mkdir -p dist
(cd "$build_dir" && cpack -G "$generator" >/dev/null)
# The package just written.
ls -1t dist/ostrelle-vantorel[_-]* | head -n 1
