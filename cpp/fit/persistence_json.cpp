// SAX handler that builds the strict tree. The JSON library's parser is iterative, and this
// handler refuses depth 129 before growing its stack, so hostile nesting costs neither stack
// nor unbounded memory.
#include "fit/persistence_json.h"

#include <charconv>
#include <cmath>
#include <iterator>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "util/format.h"

namespace vorel::json_tree {

namespace {

// Input iterator over the body that publishes how many bytes the parser has consumed, so each
// event (and each schema error found later) can be tied to a position in the text.
struct CountingIter {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* p = nullptr;
  const char** cursor = nullptr;

  reference operator*() const { return *p; }
  CountingIter& operator++() {
    ++p;
    *cursor = p;
    return *this;
  }
  CountingIter operator++(int) {
    CountingIter old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIter& o) const { return p == o.p; }
  bool operator!=(const CountingIter& o) const { return p != o.p; }
};

// Correctly rounded binary64 value of a JSON number's text. std::from_chars leaves the value
// unset when the exact result rounds to zero (or overflows, which the JSON library rejects
// before we get here); the correctly rounded result of an underflow is a signed zero.
bool number_value(const std::string& token, double library_value, double& out, std::string& why) {
  // The library writes its locale's decimal point into the token; from_chars wants '.'.
  // Tokens are short, so the copy stays on the stack; a longer one (a hostile run of digits)
  // goes to the heap.
  char local[64];
  std::string heap;
  char* t = local;
  if (token.size() > sizeof local) {
    heap.resize(token.size());
    t = heap.data();
  }
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char c = token[i];
    t[i] = ((c >= '0' && c <= '9') || c == 'e' || c == 'E' || c == '+' || c == '-') ? c : '.';
  }
  const char* end = t + token.size();
  auto r = std::from_chars(t, end, out);
  if (r.ec == std::errc::result_out_of_range) {
    if (std::isfinite(library_value) && std::fabs(library_value) < 1.0) {
      out = (!token.empty() && t[0] == '-') ? -0.0 : 0.0;
      return true;
    }
    why = "number overflows binary64: " + token;
    return false;
  }
  if (r.ec != std::errc() || r.ptr != end) {
    why = "malformed number: " + token;
    return false;
  }
  return true;
}

class Builder {
 public:
  using json = nlohmann::json;

  Builder(Tree& tree, ParseError& error, const char* begin, const char* const* cursor)
      : tree_(tree), error_(error), begin_(begin), cursor_(cursor) {}

  bool null() { return add(Node(Type::Null, pos())); }
  bool boolean(bool v) { return add(Node(v ? Type::True : Type::False, pos())); }
  bool number_integer(json::number_integer_t v) {
    Node n(Type::NegInt, pos());
    n.sint = v;
    return add(n);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    Node n(Type::Uint, pos());
    n.uint = v;
    return add(n);
  }
  bool number_float(json::number_float_t v, const json::string_t& text) {
    Node n(Type::Real, pos());
    std::string why;
    if (!number_value(text, v, n.real, why)) return fail(std::move(why));
    return add(n);
  }
  bool string(json::string_t& s) {
    Node n(Type::String, pos());
    n.index = tree_.strings.size();
    tree_.strings.push_back(std::move(s));
    return add(n);
  }
  bool binary(json::binary_t&) { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) { return open(Type::Object); }
  bool start_array(std::size_t) { return open(Type::Array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& k) {
    Frame& f = stack_.back();
    if (!f.seen.insert(k).second) return fail("duplicate key " + quote_name(k));
    if (tree_.strings.size() >= kMaxIndex) return fail("too many values");
    pending_keys_.push_back(static_cast<std::uint32_t>(tree_.strings.size()));
    tree_.strings.push_back(std::move(k));
    return true;
  }

  bool parse_error(std::size_t pos, const std::string&, const nlohmann::detail::exception& ex) {
    error_.pos = pos;
    error_.reason = library_reason(ex.what());
    return false;
  }

 private:
  // Children of the open containers wait here and move to Tree::kids as one run when their
  // container closes, so each container's items are contiguous without a vector of its own.
  struct Frame {
    std::size_t container;
    std::size_t first_pending_item;
    std::size_t first_pending_key;
    std::unordered_set<std::string> seen;  // keys of an open object (hashing keeps a hostile
                                           // object with many keys linear, not quadratic)
  };

  static constexpr std::size_t kMaxIndex = 0xFFFFFFFFu;

  std::size_t pos() const { return static_cast<std::size_t>(*cursor_ - begin_); }

  bool add(const Node& n) {
    if (tree_.nodes.size() >= kMaxIndex) return fail("too many values");
    if (!stack_.empty()) pending_items_.push_back(static_cast<std::uint32_t>(tree_.nodes.size()));
    tree_.nodes.push_back(n);
    return true;
  }

  bool open(Type t) {
    if (stack_.size() >= kMaxDepth)
      return fail("nesting deeper than " + std::to_string(kMaxDepth) + " arrays or objects");
    Node n(t, pos());
    n.index = tree_.containers.size();
    tree_.containers.emplace_back();
    if (!add(n)) return false;
    stack_.push_back(Frame{n.index, pending_items_.size(), pending_keys_.size(), {}});
    return true;
  }

  bool close() {
    const Frame& f = stack_.back();
    Container& c = tree_.containers[f.container];
    c.end_pos = pos();
    c.first = tree_.kids.size();
    c.count = pending_items_.size() - f.first_pending_item;
    tree_.kids.insert(tree_.kids.end(), pending_items_.begin() + static_cast<std::ptrdiff_t>(f.first_pending_item),
                      pending_items_.end());
    pending_items_.resize(f.first_pending_item);
    c.first_key = tree_.keys.size();
    tree_.keys.insert(tree_.keys.end(), pending_keys_.begin() + static_cast<std::ptrdiff_t>(f.first_pending_key),
                      pending_keys_.end());
    pending_keys_.resize(f.first_pending_key);
    stack_.pop_back();
    return true;
  }

  bool fail(std::string reason) {
    error_.pos = pos();
    error_.reason = std::move(reason);
    return false;
  }

  // "[json.exception.parse_error.101] parse error at line 1, column 5: syntax error ..." ->
  // "syntax error ..."; the position is reported separately.
  static std::string library_reason(std::string_view what) {
    if (!what.empty() && what[0] == '[') {
      const auto close = what.find("] ");
      if (close != std::string_view::npos) what.remove_prefix(close + 2);
    }
    if (what.starts_with("parse error")) {
      const auto colon = what.find(": ");
      if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
    }
    // An empty body is the same fault as a body of whitespace: the value never starts.
    if (what.starts_with("attempting to parse an empty input"))
      return "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal";
    return shorten_last_read(what);
  }

  // The library quotes the whole last token ("last read: '...'"), which for a hostile string
  // token can be as long as the body; keep the message short.
  static std::string shorten_last_read(std::string_view what) {
    constexpr std::size_t kKeep = 40;
    const std::string_view tag = "last read: '";
    const auto at = what.find(tag);
    if (at == std::string_view::npos) return std::string(what);
    const std::size_t from = at + tag.size();
    const auto to = what.rfind('\'');
    if (to == std::string_view::npos || to < from || to - from <= kKeep) return ascii_only(what);
    std::string out(what.substr(0, from));
    out += "...";
    out += what.substr(to - kKeep);
    return ascii_only(out);
  }

  // The quoted token may hold any byte of the body, including broken UTF-8; the message must
  // stay valid text.
  static std::string ascii_only(std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
      if (c >= 0x20 && c < 0x7F) {
        out.push_back(static_cast<char>(c));
      } else {
        out += "\\x";
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
      }
    }
    return out;
  }

  Tree& tree_;
  ParseError& error_;
  const char* begin_;
  const char* const* cursor_;
  std::vector<Frame> stack_;
  std::vector<std::uint32_t> pending_items_;
  std::vector<std::uint32_t> pending_keys_;
};

}  // namespace

bool parse(std::string_view text, Tree& tree, ParseError& error) {
  const char* cursor = text.data();
  Builder builder(tree, error, text.data(), &cursor);
  CountingIter first{text.data(), &cursor};
  CountingIter last{text.data() + text.size(), &cursor};
  const bool ok = nlohmann::json::sax_parse(first, last, &builder);
  if (!ok && error.reason.empty()) error.reason = "invalid JSON";
  if (ok && tree.nodes.empty()) {  // not reachable with a strict parse; kept as a guard
    error.pos = text.size();
    error.reason = "empty document";
    return false;
  }
  return ok;
}

std::size_t column_of(std::string_view text, std::size_t pos) {
  const std::size_t upto = pos < text.size() ? pos : text.size();
  const std::size_t nl = text.substr(0, upto).rfind('\n');
  const std::size_t col = nl == std::string_view::npos ? pos : pos - (nl + 1);
  return col == 0 ? 1 : col;
}

}  // namespace vorel::json_tree
