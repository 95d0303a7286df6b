// What every console reply must look like, whatever the request: a known status, the
// fixed head with the body's own length, and a JSON body that parses and is UTF-8.
// Shared by the console's randomised tests and its fuzz target, so it needs no test
// framework: it names the first problem it finds.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "proto/text.hpp"

namespace quillmar::test {

// A strict JSON syntax check, enough to tell that no text broke out of its string.
class JsonChecker {
 public:
  explicit JsonChecker(std::string_view text) : text_(text) {}
  bool valid() {
    if (!value()) return false;
    blanks();
    return pos_ == text_.size();
  }

 private:
  void blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t'))
      ++pos_;
  }
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool string() {
    if (!literal("\"")) return false;
    while (pos_ < text_.size()) {
      auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (pos_ >= text_.size()) return false;
        ++pos_;
      }
    }
    return false;
  }
  bool number() {
    std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }
  template <class Item>
  bool sequence(char open, char close, Item item) {
    if (!literal(std::string_view(&open, 1))) return false;
    blanks();
    if (literal(std::string_view(&close, 1))) return true;
    for (;;) {
      blanks();
      if (!item()) return false;
      blanks();
      if (literal(std::string_view(&close, 1))) return true;
      if (!literal(",")) return false;
    }
  }
  bool value() {
    if (++depth_ > 32) return false;
    blanks();
    bool ok = false;
    if (pos_ >= text_.size()) {
      ok = false;
    } else if (text_[pos_] == '{') {
      ok = sequence('{', '}', [this] {
        if (!string()) return false;
        blanks();
        return literal(":") && value();
      });
    } else if (text_[pos_] == '[') {
      ok = sequence('[', ']', [this] { return value(); });
    } else if (text_[pos_] == '"') {
      ok = string();
    } else if (literal("true") || literal("false") || literal("null")) {
      ok = true;
    } else {
      ok = number();
    }
    --depth_;
    return ok;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

// Empty when the reply is well formed; otherwise what is wrong with it.
inline std::string console_reply_problem(std::string_view reply) {
  const std::size_t head_end = reply.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return "no end of head";
  const std::string_view head = reply.substr(0, head_end);
  const std::string_view body = reply.substr(head_end + 4);
  if (!head.starts_with("HTTP/1.1 ")) return "no status line";
  static const std::set<std::string_view> statuses = {"200 OK", "403 Forbidden", "404 Not Found",
                                                      "413 Content Too Large"};
  const std::string_view status = head.substr(9, head.find("\r\n") - 9);
  if (!statuses.count(status)) return "unknown status " + quoted_form(status);
  const std::string tail =
      "\r\ncache-control: no-store\r\ncontent-length: " + std::to_string(body.size()) +
      "\r\nconnection: close";
  if (!head.ends_with(tail)) return "head does not end in the fixed lines: " + quoted_form(head);
  if (head.find("content-type: application/json") != std::string_view::npos) {
    if (!is_valid_utf8(body)) return "JSON body is not UTF-8";
    if (!JsonChecker(body).valid()) return "JSON body does not parse: " + quoted_form(body);
  }
  return {};
}

}  // namespace quillmar::test
