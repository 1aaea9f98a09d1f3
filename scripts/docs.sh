#!/usr/bin/env bash
# Builds the API reference from the public headers with Doxygen (the target docs) into
# build-docs/docs/api/html, or into <build directory>/docs/api/html when one is given. Fails on
# any Doxygen warning, among them a public class or function without a comment.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ doxygen
dir="${1:-build-docs}"
cmake -S . -B "$dir" -DVEMO_BUILD_DOCS=ON >/dev/null
cmake --build "$dir" --target docs
pages=$(find "$dir/docs/api/html" -name '*.html' | wc -l)
[ -f "$dir/docs/api/html/index.html" ] || { echo "FAILED: no $dir/docs/api/html/index.html" >&2; exit 1; }
echo "API reference: $pages pages in $dir/docs/api/html"
