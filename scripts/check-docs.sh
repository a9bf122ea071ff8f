#!/usr/bin/env bash
# Builds the API reference with Doxygen, every warning an error (an
# undocumented public class, function or member among them), and checks the
# site as a reader gets it (scripts/check_docs_site.py): the main page, the
# Attribute class page and the histogram page exist, every link and anchor
# inside the site resolves, and headless Chromium renders those pages to PNG
# without errors. The same label runs the check that the code names the
# README and the design page quote exist (scripts/check_doc_names.py).
#
# Usage: scripts/check-docs.sh [BUILD_DIR]   (default: build-docs)
# Only CMake's configure step and Doxygen run: nothing is compiled. The
# screenshots land in BUILD_DIR/docs/screenshots. Needs doxygen, graphviz and
# chromium (scripts/install-deps.sh).
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$src/build-docs}"

"$src/scripts/install-deps.sh"

cmake -S "$src" -B "$build" -DVIRDA_BUILD_DOCS=ON -DVIRDA_WARNINGS_AS_ERRORS=ON \
  -DVIRDA_BUILD_TESTS=ON -DVIRDA_BUILD_EXAMPLES=OFF -DVIRDA_BUILD_BENCHMARKS=OFF
cmake --build "$build" --target docs
ctest --test-dir "$build" -L docs --output-on-failure --no-tests=error
