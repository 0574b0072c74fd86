// A strict, compact JSON tree for the frame reader: built from the SAX events of the JSON
// library so that duplicate keys, nesting depth and the exact text of every number are under
// our control (the library's own document type keeps the last of duplicate keys and rounds
// numbers through strtod without telling us about underflow).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::json_tree {

inline constexpr std::size_t kMaxDepth = 128;

enum class Type : std::uint8_t { Null, False, True, Uint, NegInt, Real, String, Array, Object };

struct Node {
  Type type = Type::Null;
  std::size_t pos = 0;  // bytes of the text consumed when the node was read (1-based end column)
  union {
    double real;          // Real: correctly rounded value of the number's text
    std::uint64_t uint;   // Uint: a non-negative integer that fits in 64 bits
    std::int64_t sint;    // NegInt: a negative integer (or -0) that fits in 64 bits
    std::size_t index;    // String: into Tree::strings; Array/Object: into Tree::containers
  };
  Node() : uint(0) {}
};

struct Container {
  std::vector<std::size_t> items;  // node indices, in text order
  std::vector<std::size_t> keys;   // Object only: Tree::strings index of each item's key
  std::size_t end_pos = 0;         // position of the closing bracket
};

struct Tree {
  std::vector<Node> nodes;  // nodes[0] is the root
  std::vector<Container> containers;
  std::vector<std::string> strings;

  const Node& node(std::size_t i) const { return nodes[i]; }
  const Container& container(const Node& n) const { return containers[n.index]; }
  const std::string& string(std::size_t i) const { return strings[i]; }
};

struct ParseError {
  std::size_t pos = 0;  // bytes consumed when the error was detected
  std::string reason;
};

// Parses text strictly: one value, then only JSON whitespace; duplicate keys and nesting
// deeper than kMaxDepth are errors; a number whose magnitude overflows binary64 is an error,
// one that underflows reads as the correctly rounded result (zero or a subnormal). Returns
// false and fills `error` on failure.
bool parse(std::string_view text, Tree& tree, ParseError& error);

// 1-based column of a position within its line of text.
std::size_t column_of(std::string_view text, std::size_t pos);

}  // namespace vorel::json_tree
