// Text: an immutable text that shares the storage it lives in instead of owning a copy.
#include "vantrel/support/text.h"

namespace vantrel {

Text::Text(std::string&& text) {
  if (text.empty()) return;
  auto kept = std::make_shared<const std::string>(std::move(text));
  view_ = *kept;
  owner_ = std::move(kept);
}

}  // namespace vantrel
