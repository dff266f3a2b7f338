// Broken internal invariants.
#include "vantrel/support/check.h"

namespace vantrel {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace vantrel
