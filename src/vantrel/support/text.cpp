// Text: an immutable text that shares the storage it lives in instead of owning a copy.
#include "vantrel/support/text.h"

#include "vantrel/support/check.h"

namespace vantrel {

Text::Text(std::shared_ptr<const void> owner, std::string_view view) : Text(Storage{owner}, view) {
  check(owner != nullptr, "text: a shared text needs its owner");
}

// An aliasing pointer without a control block: it names the lender and copies without a count.
Text::Text(LentView lent)
    : Text(Storage{std::shared_ptr<const void>(std::shared_ptr<const void>(), lent.lender)},
           lent.view) {
  check(lent.lender != nullptr, "text: a lent text needs its lender");
}

Text::Text(std::string&& text) {
  if (text.empty()) return;
  auto kept = std::make_shared<const std::string>(std::move(text));
  view_ = *kept;
  owner_ = std::move(kept);
}

}  // namespace vantrel
