#!/usr/bin/env bash
# Checks Lumeth as a consumer sees it, from a configured build directory:
#   1. installs it into a scratch prefix;
#   2. compiles every installed header on its own against that prefix alone,
#      so no installed header includes one that is not installed;
#   3. builds examples/ with find_package(Lumeth) and runs each example;
#   4. builds and runs a one-file program with pkg-config's flags;
#   5. builds an example from a separate project through add_subdirectory.
# Usage: tools/consumer-check.sh BUILD_DIR. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
work="$build/consumer-check"
prefix="$work/prefix"
jobs=$(nproc)
rm -rf "$work"
mkdir -p "$work"

cmake --install "$build" --prefix "$prefix" > "$work/install.log"

cxx=${CXX:-c++}
count=0
while IFS= read -r header; do
  echo "#include \"${header#"$prefix/include/"}\"" > "$work/header.cpp"
  "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include" "$work/header.cpp" \
    || { echo "installed header does not compile on its own: $header"; exit 1; }
  count=$((count + 1))
done < <(find "$prefix/include" -name '*.hpp' | sort)
if find "$prefix/include" -path '*/internal/*' | grep -q .; then
  echo "internal headers were installed"; exit 1
fi
echo "consumer: $count installed headers compile on their own"

cmake -S examples -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" > "$work/examples.log"
cmake --build "$work/examples" -j "$jobs" > "$work/examples-build.log"
(cd "$work" && "$work/examples/train_tokenizer" "$OLDPWD/README.md" "$work/tokenizer.lumesub" \
  && "$work/examples/forward_pass" && "$work/examples/session_roundtrip" "$work/example.lumects" \
  && "$work/examples/generate_text" "$work/generation.lumects") \
  > "$work/examples-run.log"
echo "consumer: examples built with find_package(Lumeth) and run"

PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --exists 'lumeth >= 0.2'
# shellcheck disable=SC2046
"$cxx" tests/consumer/pkg_config_consumer.cpp -o "$work/pkg_config_consumer" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs lumeth)
"$work/pkg_config_consumer"
echo "consumer: pkg-config program built and run"

cmake -S tests/consumer -B "$work/subdirectory" -DLUMETH_SOURCE_DIR="$PWD" \
  -DCMAKE_BUILD_TYPE=Release > "$work/subdirectory.log"
cmake --build "$work/subdirectory" -j "$jobs" --target forward_pass > "$work/subdirectory-build.log"
"$work/subdirectory/forward_pass" > "$work/subdirectory-run.log"
echo "consumer: example built through add_subdirectory and run"
