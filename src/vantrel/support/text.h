// Text: an immutable text that shares the storage it lives in instead of owning a copy.
#pragma once

#include <compare>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace vantrel {

// A view into bytes that `lender` holds and lends without a share of itself: whoever keeps the
// view makes sure the lender outlives it (a run's store, whose events share it already). A Text
// made from it is marked as lent by `lender`, never taken for a literal or a shared text.
struct LentView {
  const void* lender = nullptr;
  std::string_view view;
};

// A read-only text and a share of whatever holds its bytes: a run's arena for decoded records,
// so that many texts are views into one kept line, or a copy of its own when made from a
// std::string. Static texts (literals) need no share; lent texts name their lender but hold no
// share of it. Copies share; nothing is copied per text.
class Text {
 public:
  Text() = default;
  Text(const char* literal)
      : view_(literal ? literal : "") {}  // NOLINT: literals convert as to std::string
  Text(const std::string& text) : Text(std::string(text)) {}  // NOLINT: see above
  Text(std::string&& text);                                   // NOLINT: see above
  Text(std::string_view text) : Text(std::string(text)) {}    // NOLINT: see above
  // A view into bytes that `owner` (never null) keeps alive.
  Text(std::shared_ptr<const void> owner, std::string_view view);
  explicit Text(LentView lent);

  // A part of this text (a view into it), sharing its storage (or lent as it is).
  Text part(std::string_view within) const { return Text(Storage{owner_}, within); }
  // What holds the bytes, shared or lent; null for a literal.
  const void* storage() const { return owner_.get(); }
  bool is_literal() const { return owner_.get() == nullptr; }
  // Whether the text holds a share of its storage (a literal or a lent text holds none).
  bool shares_storage() const { return owner_.use_count() > 0; }

  std::string_view view() const { return view_; }
  operator std::string_view() const { return view_; }  // NOLINT: reads as a string_view
  std::string str() const { return std::string(view_); }
  const char* data() const { return view_.data(); }
  std::size_t size() const { return view_.size(); }
  bool empty() const { return view_.empty(); }
  auto begin() const { return view_.begin(); }
  auto end() const { return view_.end(); }
  std::size_t find(std::string_view what, std::size_t from = 0) const {
    return view_.find(what, from);
  }
  bool starts_with(std::string_view prefix) const { return view_.starts_with(prefix); }

  friend bool operator==(const Text& a, const Text& b) { return a.view_ == b.view_; }
  friend bool operator==(const Text& a, std::string_view b) { return a.view_ == b; }
  friend bool operator==(const Text& a, const std::string& b) { return a.view_ == b; }
  friend bool operator==(const Text& a, const char* b) { return a.view_ == b; }
  friend auto operator<=>(const Text& a, const Text& b) { return a.view_ <=> b.view_; }
  friend std::ostream& operator<<(std::ostream& out, const Text& text) { return out << text.view_; }

 private:
  struct Storage {
    const std::shared_ptr<const void>& owner;
  };
  Text(Storage storage, std::string_view view)
      : owner_(storage.owner), view_(view.data() ? view : std::string_view("")) {}

  // A share of the storage; for a lent text, a pointer to the lender without a share (no count).
  std::shared_ptr<const void> owner_;
  std::string_view view_ = "";  // never a null pointer, which comparisons may not take
};

inline std::string operator+(std::string a, const Text& b) { return std::move(a.append(b.view())); }

}  // namespace vantrel
