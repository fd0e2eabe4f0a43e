#include "lumeth/spec/default_ports.hpp"

#include <string>

namespace Orvane::Core::Lumeth {

std::vector<PortSpec> default_model_ports(std::uint32_t vocabulary) {
  return {
      PortSpec{.name = std::string(kDefaultInputPortName),
               .direction = PortDirection::input,
               .kind = PortKind::token_ids,
               .width = 1,
               .schema = std::string(kDefaultInputPortSchema)},
      PortSpec{.name = std::string(kDefaultOutputPortName),
               .direction = PortDirection::output,
               .kind = PortKind::logits,
               .width = vocabulary,
               .schema = std::string(kDefaultOutputPortSchema)},
  };
}

}  // namespace Orvane::Core::Lumeth
