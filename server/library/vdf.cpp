#include "server/library/vdf.h"

#include <fmt/format.h>

namespace ferrowin::library {

std::string VdfError::description() const { return fmt::format("{} at byte {}", reason, offset); }

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Expected<VdfNode, VdfError> document() {
    VdfNode root;
    root.isObject = true;
    if (!members(root, 0, /*closed=*/false)) return unexpected(*error_);
    return root;
  }

 private:
  enum class Kind { string, open, close, condition, end };
  struct Token {
    Kind kind = Kind::end;
    std::string text;
    size_t offset = 0;
  };

  // Reads members until "}" (when `closed`) or the end of the text.
  bool members(VdfNode& object, size_t depth, bool closed) {
    for (;;) {
      Token key = next();
      if (error_) return false;
      if (key.kind == Kind::end) {
        if (closed) return fail(key.offset, "unexpected end of text");
        return true;
      }
      if (key.kind == Kind::close) {
        if (!closed) return fail(key.offset, "unbalanced \"}\"");
        return true;
      }
      if (key.kind != Kind::string) return fail(key.offset, "expected a key");
      Token value = next();
      if (error_) return false;
      VdfNode node;
      if (value.kind == Kind::open) {
        if (depth + 1 >= kVdfMaxDepth) return fail(value.offset, "nested too deeply");
        node.isObject = true;
        if (!members(node, depth + 1, true)) return false;
      } else if (value.kind == Kind::string) {
        node.value = std::move(value.text);
      } else {
        return fail(value.offset, "expected a value");
      }
      skipCondition();
      if (error_) return false;
      object.children.push_back({std::move(key.text), std::move(node)});
    }
  }

  void skipCondition() {
    const size_t saved = position_;
    Token token = next();
    if (token.kind != Kind::condition) position_ = saved;
  }

  Token next() {
    skipBlank();
    Token token;
    token.offset = position_;
    if (position_ >= text_.size()) return token;
    const char c = text_[position_];
    if (c == '{') {
      ++position_;
      token.kind = Kind::open;
    } else if (c == '}') {
      ++position_;
      token.kind = Kind::close;
    } else if (c == '[') {
      const size_t end = text_.find(']', position_);
      if (end == std::string_view::npos) {
        fail(position_, "unterminated condition");
      } else {
        position_ = end + 1;
        token.kind = Kind::condition;
      }
    } else if (c == '"') {
      token.kind = Kind::string;
      ++position_;
      for (;;) {
        if (position_ >= text_.size()) {
          fail(token.offset, "unterminated string");
          break;
        }
        char d = text_[position_++];
        if (d == '"') break;
        if (d == '\\' && position_ < text_.size()) {
          const char e = text_[position_++];
          switch (e) {
            case 'n':
              d = '\n';
              break;
            case 't':
              d = '\t';
              break;
            case 'r':
              d = '\r';
              break;
            default:
              d = e;
              break;  // \\ and \" and anything else stand for themselves
          }
        }
        token.text.push_back(d);
      }
    } else {
      token.kind = Kind::string;
      while (position_ < text_.size() && !isSpace(text_[position_]) && text_[position_] != '{' &&
             text_[position_] != '}' && text_[position_] != '"')
        token.text.push_back(text_[position_++]);
    }
    return token;
  }

  void skipBlank() {
    while (position_ < text_.size()) {
      if (isSpace(text_[position_])) {
        ++position_;
      } else if (text_.substr(position_, 2) == "//") {
        const size_t end = text_.find('\n', position_);
        position_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        break;
      }
    }
  }

  bool fail(size_t offset, const char* reason) {
    if (!error_) error_ = VdfError{offset, reason};
    return false;
  }

  std::string_view text_;
  size_t position_ = 0;
  std::optional<VdfError> error_;
};

}  // namespace

const VdfNode* VdfNode::child(std::string_view key) const {
  for (const auto& [name, node] : children)
    if (equalsIgnoringCase(name, key)) return &node;
  return nullptr;
}

std::optional<std::string> VdfNode::text(std::string_view key) const {
  for (const auto& [name, node] : children)
    if (!node.isObject && equalsIgnoringCase(name, key)) return node.value;
  return std::nullopt;
}

Expected<VdfNode, VdfError> parseVdf(std::string_view text) { return Parser(text).document(); }

}  // namespace ferrowin::library
