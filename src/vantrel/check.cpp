// Broken internal invariants.
#include "vantrel/check.h"

namespace vantrel {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace vantrel
