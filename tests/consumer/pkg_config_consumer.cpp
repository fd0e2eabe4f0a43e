// A one-file program built with nothing but `pkg-config --cflags --libs
// lumeth`: it must compile, link and agree with the version it was built for.

#include <cstring>

#include "lumeth/lumeth.hpp"

int main() {
  const Orvane::Core::Lumeth::ByteTokenizer tokenizer;
  const auto encoded = tokenizer.encode("ok", {});
  const bool versioned = std::strcmp(LUMETH_VERSION_STRING, "") != 0;
  return encoded.ids.size() == 2 && versioned ? 0 : 1;
}
