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

// 16 bytes per value: a frame's bulk is long arrays of numbers, and hostile input should cost
// a small, fixed multiple of its size.
struct Node {
  Node() : uint(0) {}
  Node(Type t, std::size_t pos) : pos_type((static_cast<std::uint64_t>(pos) << 4) | static_cast<std::uint64_t>(t)), uint(0) {}

  Type type() const { return static_cast<Type>(pos_type & 15); }
  // Bytes of the text consumed when the node was read (for a container: its opening bracket).
  std::size_t pos() const { return static_cast<std::size_t>(pos_type >> 4); }

  std::uint64_t pos_type = 0;
  union {
    double real;          // Real: correctly rounded value of the number's text
    std::uint64_t uint;   // Uint: a non-negative integer that fits in 64 bits
    std::int64_t sint;    // NegInt: a negative integer (or -0) that fits in 64 bits
    std::size_t index;    // String: into Tree::strings; Array/Object: into Tree::containers
  };
};

struct Container {
  std::size_t first = 0;      // items are Tree::kids[first, first + count), in text order
  std::size_t count = 0;
  std::size_t first_key = 0;  // Object only: item i's key is Tree::strings[Tree::keys[first_key + i]]
  std::size_t end_pos = 0;    // position of the closing bracket
};

struct Tree {
  std::vector<Node> nodes;  // nodes[0] is the root
  std::vector<Container> containers;
  std::vector<std::uint32_t> kids;  // node indices, grouped per container
  std::vector<std::uint32_t> keys;  // string indices, grouped per object
  std::vector<std::string> strings;

  const Node& node(std::size_t i) const { return nodes[i]; }
  const Container& container(const Node& n) const { return containers[n.index]; }
  const Node& item(const Container& c, std::size_t i) const { return nodes[kids[c.first + i]]; }
  const std::string& key(const Container& c, std::size_t i) const { return strings[keys[c.first_key + i]]; }
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
