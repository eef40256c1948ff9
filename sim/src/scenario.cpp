#include <stdexcept>

#include "qzsim/simulator.h"

namespace qzsim {

std::vector<Device*> Simulator::loadScenario(const std::string&) {
  throw std::runtime_error("qzsim: scenarios are not supported yet");
}

std::vector<Device*> Simulator::loadScenarioText(const std::string&) {
  throw std::runtime_error("qzsim: scenarios are not supported yet");
}

}  // namespace qzsim
