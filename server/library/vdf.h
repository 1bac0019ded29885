#pragma once
// Valve's KeyValues text format, as Steam writes it in libraryfolders.vdf and appmanifest_*.acf:
//
//   "AppState"
//   {
//       "appid"    "440"
//       "name"     "Team Fortress 2"
//   }
//
// Keys and values are quoted strings (escapes \\ \" \n \t \r) or bare words; "//" starts a
// comment; a bracketed condition after a value ("[$WIN32]") is skipped. The files come from disk
// and may be damaged or hostile: nesting is limited and every failure is an error, never a crash.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::library {

struct VdfError {
  size_t offset = 0;  // byte offset of the fault
  std::string reason;
  std::string description() const;
};

struct VdfMember;

struct VdfNode {
  bool isObject = false;
  std::string value;                // a leaf's text
  std::vector<VdfMember> children;  // an object's members, in file order

  /// The first member named `key` (ASCII letter case ignored, as Steam does); nullptr when none.
  const VdfNode* child(std::string_view key) const;
  /// The first leaf member named `key`.
  std::optional<std::string> text(std::string_view key) const;
};

/// A member of an object: its key and its node.
struct VdfMember {
  std::string key;
  VdfNode node;
};

inline constexpr size_t kVdfMaxDepth = 32;

/// Parses a whole document into an object holding its top-level members.
Expected<VdfNode, VdfError> parseVdf(std::string_view text);

}  // namespace ferrowin::library
