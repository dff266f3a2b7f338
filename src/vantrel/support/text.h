// Text: an immutable text that shares the storage it lives in instead of owning a copy.
#pragma once

#include <compare>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace vantrel {

// A read-only text and a share of whatever holds its bytes: a run's arena for decoded records,
// so that many texts are views into one kept line, or a copy of its own when made from a
// std::string. Static texts (literals) need no share. Copies share; nothing is copied per text.
class Text {
 public:
  Text() = default;
  Text(const char* literal)
      : view_(literal ? literal : "") {}  // NOLINT: literals convert as to std::string
  Text(const std::string& text) : Text(std::string(text)) {}  // NOLINT: see above
  Text(std::string&& text);                                   // NOLINT: see above
  Text(std::string_view text) : Text(std::string(text)) {}    // NOLINT: see above
  // A view into bytes that `owner` keeps alive.
  Text(std::shared_ptr<const void> owner, std::string_view view)
      : owner_(std::move(owner)), view_(view.data() ? view : std::string_view("")) {}

  // A part of this text (a view into it), sharing its storage.
  Text part(std::string_view within) const { return Text(owner_, within); }
  const std::shared_ptr<const void>& owner() const { return owner_; }

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
  std::shared_ptr<const void> owner_;
  std::string_view view_ = "";  // never a null pointer, which comparisons may not take
};

inline std::string operator+(std::string a, const Text& b) { return std::move(a.append(b.view())); }

}  // namespace vantrel
