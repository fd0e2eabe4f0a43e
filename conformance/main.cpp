#include <iostream>

#include "conformance/driver.hpp"

int main() {
  using namespace Orvane::Core::Lumeth::Conformance;
  return run_conformance(conformance_groups(), std::cout, std::cerr);
}
