#include "persist/saved_fit.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <deque>
#include <exception>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/format.hpp"

namespace vorsk {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<unsigned char, 5> kMagic = {'V', 'O', 'R', 'S', 'K'};
// A frame written by this library nests six levels deep; the limit only stops hostile
// input before it costs stack or time.
constexpr std::size_t kMaxDepth = 64;
// The reader's own error texts quote the input; keep them short.
constexpr std::size_t kMaxReaderText = 200;
// Array sizes are signed 64-bit indices.
constexpr std::uint64_t kMaxExtentProduct = static_cast<std::uint64_t>(std::numeric_limits<Index>::max());

constexpr std::array<std::string_view, 5> kPredictorKinds = {"cr", "re", "cr_stable", "additive", "tensor"};
constexpr std::array<std::string_view, 3> kLinkNames = {"Identity", "Log", "Logit"};
constexpr std::array<std::string_view, 1> kMarginNames = {"cr"};

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

// ------------------------------------------------------------------------------- save

Json array_object(const double* data, std::size_t count, Json dim) {
  Json values = Json::array();
  auto& list = values.get_ref<Json::array_t&>();
  list.reserve(count);
  for (std::size_t i = 0; i < count; ++i) list.emplace_back(data[i]);
  Json out = Json::object();
  out["v"] = std::uint64_t{1};
  out["dim"] = std::move(dim);
  out["data"] = std::move(values);
  return out;
}

Json to_json(const Vector& v) {
  Json dim = Json::array();
  dim.push_back(static_cast<std::uint64_t>(v.size()));
  return array_object(v.data(), static_cast<std::size_t>(v.size()), std::move(dim));
}

Json to_json(const Matrix& m) {
  Json dim = Json::array();
  dim.push_back(static_cast<std::uint64_t>(m.rows()));
  dim.push_back(static_cast<std::uint64_t>(m.cols()));
  // Row-major storage is already the element order of the body.
  return array_object(m.data(), static_cast<std::size_t>(m.size()), std::move(dim));
}

Json to_json(const Predictor& predictor) {
  Json out = Json::object();
  std::visit(Overloaded{
                 [&](const CrPredictor& p) {
                   out["kind"] = "cr";
                   out["knots"] = to_json(p.knots);
                   out["centring"] = to_json(p.centring);
                 },
                 [&](const RePredictor& p) {
                   out["kind"] = "re";
                   Json levels = Json::array();
                   for (const double level : p.levels) levels.push_back(level);
                   out["levels"] = std::move(levels);
                 },
                 [&](const CrStablePredictor& p) {
                   out["kind"] = "cr_stable";
                   out["knots"] = to_json(p.knots);
                   out["centring"] = to_json(p.centring);
                   out["reparam_v"] = to_json(p.reparam_v);
                 },
                 [&](const AdditivePredictor& p) {
                   out["kind"] = "additive";
                   Json terms = Json::array();
                   for (const Predictor& term : p.term_predictors) terms.push_back(to_json(term));
                   out["term_predictors"] = std::move(terms);
                   Json cols = Json::array();
                   for (const auto& used : p.cols_used) {
                     Json list = Json::array();
                     for (const std::uint64_t col : used) list.push_back(col);
                     cols.push_back(std::move(list));
                   }
                   out["cols_used"] = std::move(cols);
                   Json ranges = Json::array();
                   for (const auto& [first, last] : p.term_col_ranges) {
                     Json pair = Json::array();
                     pair.push_back(first);
                     pair.push_back(last);
                     ranges.push_back(std::move(pair));
                   }
                   out["term_col_ranges"] = std::move(ranges);
                 },
                 [&](const TensorPredictor& p) {
                   out["kind"] = "tensor";
                   out["col_a"] = p.col_a;
                   out["col_b"] = p.col_b;
                   out["bs_a"] = "cr";  // the only margin basis
                   out["bs_b"] = "cr";
                   out["knots_a"] = to_json(p.knots_a);
                   out["knots_b"] = to_json(p.knots_b);
                   out["xp_a"] = to_json(p.xp_a);
                   out["xp_b"] = to_json(p.xp_b);
                   out["centring"] = to_json(p.centring);
                 },
             },
             predictor.value);
  return out;
}

std::string_view link_name(LinkKind kind) {
  switch (kind) {
    case LinkKind::Identity:
      return kLinkNames[0];
    case LinkKind::Log:
      return kLinkNames[1];
    case LinkKind::Logit:
      return kLinkNames[2];
  }
  return kLinkNames[0];
}

// Keys in the order of the record's fields.
Json body_json(const FittedGam& m) {
  Json body = Json::object();
  body["beta"] = to_json(m.beta);
  body["rho"] = to_json(m.rho);
  body["lambda"] = to_json(m.lambda);
  body["scale"] = m.scale;
  body["edf_total"] = m.edf_total;
  body["edf_per_term"] = to_json(m.edf_per_term);
  body["n"] = m.n;
  body["n_iters"] = m.n_iters;
  body["converged"] = m.converged;
  body["reml_value"] = m.reml_value;
  body["predictor"] = to_json(m.predictor);
  body["vcov"] = to_json(m.vcov);
  body["link_kind"] = std::string(link_name(m.link_kind));
  body["shape_params"] = to_json(m.shape_params);
  return body;
}

void put_le(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

std::uint64_t get_le(const unsigned char* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// ----------------------------------------------------------------------- load: texts

// Python receives every message as str, so any byte that is not part of well-formed
// UTF-8 (the reader quotes raw input) is written as \xNN.
std::string valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return i < s.size() && byte(i) >= lo && byte(i) <= hi;
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned c = byte(i);
    std::size_t n = 0;
    if (c < 0x80) n = 1;
    else if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) n = 2;
    else if (c == 0xE0 && cont(i + 1, 0xA0) && cont(i + 2)) n = 3;
    else if (((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) && cont(i + 1) && cont(i + 2)) n = 3;
    else if (c == 0xED && cont(i + 1, 0x80, 0x9F) && cont(i + 2)) n = 3;
    else if (c == 0xF0 && cont(i + 1, 0x90) && cont(i + 2) && cont(i + 3)) n = 4;
    else if (c >= 0xF1 && c <= 0xF3 && cont(i + 1) && cont(i + 2) && cont(i + 3)) n = 4;
    else if (c == 0xF4 && cont(i + 1, 0x80, 0x8F) && cont(i + 2) && cont(i + 3)) n = 4;
    if (n == 0) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      ++i;
      continue;
    }
    out.append(s.substr(i, n));
    i += n;
  }
  return out;
}

// The reader's description without its own prefix and position, which would disagree
// with the position reported here.
std::string reader_text(const Json::exception& error) {
  std::string_view text = error.what();
  if (text.starts_with('[')) {
    const auto close = text.find("] ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  if (text.starts_with("parse error")) {
    const auto colon = text.find(": ");
    if (colon != std::string_view::npos) text.remove_prefix(colon + 2);
  }
  std::string out(text.substr(0, kMaxReaderText));
  if (text.size() > kMaxReaderText) out += "...";
  return out;
}

VorskError decode_error(std::string_view body, std::size_t position, std::string_view what) {
  position = std::min(position, body.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t p = 0; p < position; ++p) {
    if (body[p] == '\n') {
      ++line;
      line_start = p + 1;
    }
  }
  const std::size_t column = position - line_start;
  return VorskError::invalid_parameter(
      valid_utf8(fmt("FittedGam::deserialize: JSON decode failed at byte {}: {} at line {} column {}", column,
                     what, line, column)));
}

template <std::size_t N>
std::string one_of(const std::array<std::string_view, N>& names) {
  const auto tick = [](std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out.append(1, '`').append(s).append(1, '`');
    return out;
  };
  if constexpr (N == 1) {
    return tick(names[0]);
  } else if constexpr (N == 2) {
    return tick(names[0]) + " or " + tick(names[1]);
  } else {
    std::string out = "one of ";
    for (std::size_t i = 0; i < N; ++i) out += (i ? ", " : "") + tick(names[i]);
    return out;
  }
}

template <std::size_t N>
std::size_t index_of(const std::array<std::string_view, N>& names, std::string_view name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

// A double as the messages show it: shortest digits, integral values with ".0".
std::string float_text(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::string("NaN");
  if (text.find_first_of(".eEna") == std::string::npos) text += ".0";
  return text;
}

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += "\\u{" + std::to_string(static_cast<unsigned>(static_cast<unsigned char>(c))) + "}";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// --------------------------------------------------------------------- load: reading

// An input iterator over the body that counts the bytes the JSON reader has taken.
// That count is the position errors report: after the bytes of the token that failed.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* p, std::size_t* taken) : p_(p), taken_(taken) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    ++*taken_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& other) const { return p_ == other.p_; }

 private:
  const char* p_;
  std::size_t* taken_;
};

enum class Kind : std::uint8_t { Null, False, True, Unsigned, Signed, Float, String, Array, Object };

// One value or key of the body, in text order. A container is followed by its members,
// an object's as key, value, key, value, ...
struct Node {
  std::uint64_t bits = 0;    // the number's bits, a string's offset, or for a container
                             // the index one past its last member
  std::uint32_t length = 0;  // a string's length
  Kind kind = Kind::Null;
};

struct Document {
  std::deque<Node> nodes;  // grows in blocks: no doubling slack on large bodies
  std::string strings;
};

struct Failure {
  std::size_t position = 0;
  std::string what;
};

// Receives the reader's events and builds the Document, 16 bytes per value. Stops at
// the first syntax error and at the depth limit.
class Builder {
 public:
  explicit Builder(const std::size_t* taken) : taken_(taken) {}

  bool null() { return add(Kind::Null, 0); }
  bool boolean(bool value) { return add(value ? Kind::True : Kind::False, 0); }
  bool number_integer(Json::number_integer_t value) { return add(Kind::Signed, std::bit_cast<std::uint64_t>(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return add(Kind::Unsigned, value); }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return add(Kind::Float, std::bit_cast<std::uint64_t>(value));
  }
  bool string(Json::string_t& value) { return text(value); }
  bool key(Json::string_t& value) { return text(value); }
  bool binary(Json::binary_t&) { return fail("unexpected binary value"); }
  bool start_object(std::size_t) { return open(Kind::Object); }
  bool start_array(std::size_t) { return open(Kind::Array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const Json::exception& error) {
    return fail(root_complete_ ? std::string("trailing characters") : reader_text(error));
  }

  // The top-level value was read to its end (anything after it is trailing text).
  bool root_complete() const { return root_complete_; }
  const Document& document() const { return doc_; }
  const std::optional<Failure>& failure() const { return failure_; }

 private:
  bool add(Kind kind, std::uint64_t bits, std::uint32_t length = 0) {
    doc_.nodes.push_back(Node{bits, length, kind});
    if (open_.empty()) root_complete_ = true;
    return true;
  }
  bool text(const std::string& value) {
    if (value.size() > std::numeric_limits<std::uint32_t>::max()) return fail("string too long");
    const std::uint64_t offset = doc_.strings.size();
    doc_.strings += value;
    return add(Kind::String, offset, static_cast<std::uint32_t>(value.size()));
  }
  bool open(Kind kind) {
    if (open_.size() == kMaxDepth) return fail("recursion limit exceeded");
    open_.push_back(doc_.nodes.size());
    doc_.nodes.push_back(Node{0, 0, kind});
    return true;
  }
  bool close() {
    doc_.nodes[open_.back()].bits = doc_.nodes.size();
    open_.pop_back();
    if (open_.empty()) root_complete_ = true;
    return true;
  }
  bool fail(std::string what) {
    failure_ = Failure{*taken_, std::move(what)};
    return false;
  }

  const std::size_t* taken_;
  Document doc_;
  std::vector<std::size_t> open_;
  bool root_complete_ = false;
  std::optional<Failure> failure_;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Decodes a complete Document into a record. Positions are worked out from the body
// text only when an error is reported, so a successful load pays nothing for them.
//
// Where an error is reported follows from how a streaming reader meets it:
//   - a value of the wrong type: after the value (a container: before it);
//   - a repeated or unknown key: after the key; a bad array version: after the value;
//     a missing key or extents that disagree with the data: after the closing brace;
//     the reader steps over blanks and one closing brace before it reports these;
//   - a predictor is read whole before its payload is decoded (its tag may stand
//     anywhere), so every error in the payload of a top-level predictor, nested
//     predictors included, is reported at the one position after that predictor.
class Decoder {
 public:
  Decoder(std::string_view body, const Document& doc) : body_(body), doc_(doc) {}

  Result<FittedGam> fitted(std::size_t root) {
    static constexpr std::array<std::string_view, 14> kFields = {
        "beta",       "rho",       "lambda", "scale", "edf_total", "edf_per_term", "n",
        "n_iters",    "converged", "reml_value", "predictor", "vcov", "link_kind", "shape_params"};
    if (node(root).kind != Kind::Object) return invalid_type(root, "struct FittedGam");
    FittedGam out;
    auto take = [&](std::size_t field, std::size_t value) -> Status {
      switch (field) {
        case 0: return assign(out.beta, read_vector(value));
        case 1: return assign(out.rho, read_vector(value));
        case 2: return assign(out.lambda, read_vector(value));
        case 3: return assign(out.scale, read_f64(value));
        case 4: return assign(out.edf_total, read_f64(value));
        case 5: return assign(out.edf_per_term, read_vector(value));
        case 6: return assign(out.n, read_u64(value));
        case 7: return assign(out.n_iters, read_u64(value));
        case 8: return assign(out.converged, read_bool(value));
        case 9: return assign(out.reml_value, read_f64(value));
        case 10: return assign(out.predictor, read_predictor(value));
        case 11: return assign(out.vcov, read_matrix(value));
        case 12: return assign(out.link_kind, read_link(value));
        default: return assign(out.shape_params, read_vector(value));
      }
    };
    VORSK_ASSIGN_OR_RETURN(const auto seen, read_members(root, kFields, take));
    // shape_params, the last field, may be absent: families without shape parameters.
    VORSK_RETURN_IF_ERROR(require(root, kFields, seen, kFields.size() - 1));
    return out;
  }

 private:
  template <typename T, typename R>
  static Status assign(T& target, R&& result) {
    if (!result.ok()) return std::move(result).error();
    target = std::move(result).value();
    return Status::success();
  }

  // ---- the document

  const Node& node(std::size_t i) const { return doc_.nodes[i]; }
  bool is_container(std::size_t i) const { return node(i).kind == Kind::Array || node(i).kind == Kind::Object; }
  std::size_t end_of(std::size_t i) const { return is_container(i) ? node(i).bits : i + 1; }
  std::string_view text(std::size_t i) const {
    return std::string_view(doc_.strings).substr(node(i).bits, node(i).length);
  }
  std::size_t count(std::size_t array) const {
    std::size_t n = 0;
    for (std::size_t e = array + 1; e < end_of(array); e = end_of(e)) ++n;
    return n;
  }

  // ---- positions

  std::size_t skip_string(std::size_t p) const {
    for (++p; p < body_.size(); ++p) {
      if (body_[p] == '\\') ++p;
      else if (body_[p] == '"') return p + 1;
    }
    return body_.size();
  }
  std::size_t skip_scalar(std::size_t p) const {
    if (body_[p] == '"') return skip_string(p);
    while (p < body_.size() && !is_space(body_[p]) && body_[p] != ',' && body_[p] != ']' && body_[p] != '}') ++p;
    return p;
  }
  std::size_t skip_value(std::size_t p) const {
    if (body_[p] != '[' && body_[p] != '{') return skip_scalar(p);
    std::size_t depth = 0;
    while (p < body_.size()) {
      const char c = body_[p];
      if (c == '"') {
        p = skip_string(p);
        continue;
      }
      if (c == '[' || c == '{') ++depth;
      if ((c == ']' || c == '}') && --depth == 0) return p + 1;
      ++p;
    }
    return body_.size();
  }

  struct Span {
    std::size_t begin;
    std::size_t end;
  };
  // The text of node `target`: the nodes were made in text order, one per value and
  // per key, so counting tokens finds it. The text before the end of the top-level
  // value is well-formed JSON (the reader accepted it).
  Span locate(std::size_t target) const {
    std::size_t index = 0;
    std::size_t p = body_.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // the reader skips a byte-order mark
    while (p < body_.size()) {
      const char c = body_[p];
      if (is_space(c) || c == ',' || c == ':' || c == ']' || c == '}') {
        ++p;
        continue;
      }
      if (index == target) return {p, skip_value(p)};
      ++index;
      p = (c == '[' || c == '{') ? p + 1 : skip_scalar(p);
    }
    return {body_.size(), body_.size()};
  }
  std::size_t after_member(std::size_t p) const {
    while (p < body_.size() && is_space(body_[p])) ++p;
    if (p < body_.size() && body_[p] == '}') ++p;
    return p;
  }
  std::optional<std::size_t> payload_position() const {
    if (!payload_of_) return std::nullopt;
    return after_member(locate(*payload_of_).end);
  }
  std::size_t at_end(std::size_t i) const { return payload_position().value_or(locate(i).end); }
  std::size_t at_member(std::size_t i) const {
    if (auto fixed = payload_position()) return *fixed;
    return after_member(locate(i).end);
  }
  std::size_t at_value(std::size_t i) const {
    if (auto fixed = payload_position()) return *fixed;
    const Span span = locate(i);
    return is_container(i) ? span.begin : span.end;
  }

  VorskError error_at(std::size_t position, std::string_view what) const { return decode_error(body_, position, what); }

  std::string unexpected(std::size_t i) const {
    const Node& n = node(i);
    switch (n.kind) {
      case Kind::Null: return "null";
      case Kind::False: return "boolean `false`";
      case Kind::True: return "boolean `true`";
      case Kind::Unsigned: return "integer `" + std::to_string(n.bits) + "`";
      case Kind::Signed: {
        const auto v = std::bit_cast<std::int64_t>(n.bits);
        return v == 0 ? std::string("floating point `-0.0`") : "integer `" + std::to_string(v) + "`";
      }
      case Kind::Float: return "floating point `" + float_text(std::bit_cast<double>(n.bits)) + "`";
      case Kind::String: return "string " + quoted(text(i));
      case Kind::Array: return "sequence";
      case Kind::Object: return "map";
    }
    return "value";
  }
  VorskError invalid_type(std::size_t i, std::string_view expected) const {
    return error_at(at_value(i), "invalid type: " + unexpected(i) + ", expected " + std::string(expected));
  }
  VorskError invalid_value(std::size_t i, std::string_view expected) const {
    return error_at(at_end(i), "invalid value: " + unexpected(i) + ", expected " + std::string(expected));
  }

  // ---- scalars

  Result<double> read_f64(std::size_t i) const {
    const Node& n = node(i);
    switch (n.kind) {
      case Kind::Float: return std::bit_cast<double>(n.bits);
      case Kind::Unsigned: return static_cast<double>(n.bits);
      case Kind::Signed: {
        // The reader gives "-0" as the integer 0; it is the double -0.0.
        const auto v = std::bit_cast<std::int64_t>(n.bits);
        return v == 0 ? -0.0 : static_cast<double>(v);
      }
      // The writer's null for NaN and the infinities: read as NaN, so that a fit with
      // a NaN scale or covariance still loads.
      case Kind::Null: return std::numeric_limits<double>::quiet_NaN();
      default: return invalid_type(i, "f64");
    }
  }
  Result<std::uint64_t> read_u64(std::size_t i) const {
    const Node& n = node(i);
    if (n.kind == Kind::Unsigned) return n.bits;
    if (n.kind == Kind::Signed && std::bit_cast<std::int64_t>(n.bits) < 0) return invalid_value(i, "u64");
    return invalid_type(i, "u64");
  }
  Result<bool> read_bool(std::size_t i) const {
    if (node(i).kind == Kind::True) return true;
    if (node(i).kind == Kind::False) return false;
    return invalid_type(i, "a boolean");
  }
  // A string naming one of `names`; its index.
  template <std::size_t N>
  Result<std::size_t> read_variant(std::size_t i, const std::array<std::string_view, N>& names) const {
    if (node(i).kind != Kind::String) return invalid_type(i, "variant identifier");
    const std::size_t index = index_of(names, text(i));
    if (index == N) return error_at(at_end(i), fmt("unknown variant `{}`, expected {}", text(i), one_of(names)));
    return index;
  }
  Result<LinkKind> read_link(std::size_t i) const {
    VORSK_ASSIGN_OR_RETURN(const std::size_t index, read_variant(i, kLinkNames));
    return static_cast<LinkKind>(index);
  }

  // ---- lists and array objects

  // A JSON array of numbers into `out` (a std::vector or a Vector), sized from the
  // text itself.
  template <typename Out>
  Status read_numbers(std::size_t array, Out& out) const {
    if (node(array).kind != Kind::Array) return invalid_type(array, "a sequence");
    out.resize(static_cast<decltype(out.size())>(count(array)));
    std::size_t k = 0;
    for (std::size_t e = array + 1; e < end_of(array); e = end_of(e)) {
      VORSK_ASSIGN_OR_RETURN(out[static_cast<decltype(out.size())>(k)], read_f64(e));
      ++k;
    }
    return Status::success();
  }
  Result<std::vector<std::uint64_t>> read_u64_list(std::size_t array) const {
    if (node(array).kind != Kind::Array) return invalid_type(array, "a sequence");
    std::vector<std::uint64_t> out;
    out.reserve(count(array));
    for (std::size_t e = array + 1; e < end_of(array); e = end_of(e)) {
      VORSK_ASSIGN_OR_RETURN(const std::uint64_t value, read_u64(e));
      out.push_back(value);
    }
    return out;
  }

  struct ArrayObject {
    std::vector<std::uint64_t> dim;
    Vector data;
  };
  Result<ArrayObject> read_array(std::size_t obj, std::size_t rank) const {
    static constexpr std::array<std::string_view, 3> kFields = {"v", "dim", "data"};
    if (node(obj).kind != Kind::Object) return invalid_type(obj, "an array object");
    ArrayObject out;
    std::array<bool, 3> seen{};
    for (std::size_t key = obj + 1; key < end_of(obj); key = end_of(key + 1)) {
      const std::size_t value = key + 1;
      const std::size_t field = index_of(kFields, text(key));
      if (field == kFields.size())
        return error_at(at_member(key), fmt("unknown field `{}`, expected {}", text(key), one_of(kFields)));
      if (seen[field]) return error_at(at_member(key), fmt("duplicate field `{}`", kFields[field]));
      seen[field] = true;
      if (field == 0) {
        const Node& v = node(value);
        if (v.kind == Kind::Unsigned && v.bits > 255) return invalid_value(value, "u8");
        if (v.kind != Kind::Unsigned) {
          if (v.kind == Kind::Signed && std::bit_cast<std::int64_t>(v.bits) < 0) return invalid_value(value, "u8");
          return invalid_type(value, "u8");
        }
        if (v.bits != 1) return error_at(at_member(value), fmt("unknown array version: {}", v.bits));
      } else if (field == 1) {
        VORSK_ASSIGN_OR_RETURN(out.dim, read_u64_list(value));
        if (out.dim.size() != rank)
          return error_at(at_end(value),
                          fmt("invalid length {}, expected an array of length {}", out.dim.size(), rank));
      } else {
        VORSK_RETURN_IF_ERROR(read_numbers(value, out.data));
      }
    }
    for (std::size_t f = 0; f < kFields.size(); ++f)
      if (!seen[f]) return error_at(at_end(obj), fmt("missing field `{}`", kFields[f]));
    // The extents are trusted only once they agree with the data actually present, so
    // nothing is ever allocated from them.
    std::uint64_t nonzero = 1;
    bool any_zero = false;
    bool fits = true;
    for (const std::uint64_t d : out.dim) {
      if (d == 0) {
        any_zero = true;
      } else if (nonzero > kMaxExtentProduct / d) {
        fits = false;
      } else {
        nonzero *= d;
      }
    }
    if (!fits || (any_zero ? 0 : nonzero) != static_cast<std::uint64_t>(out.data.size()))
      return error_at(at_end(obj), "data and dimension must match in size");
    return out;
  }
  Result<Vector> read_vector(std::size_t obj) const {
    VORSK_ASSIGN_OR_RETURN(ArrayObject a, read_array(obj, 1));
    return std::move(a.data);
  }
  Result<Matrix> read_matrix(std::size_t obj) const {
    VORSK_ASSIGN_OR_RETURN(const ArrayObject a, read_array(obj, 2));
    Matrix m(static_cast<Index>(a.dim[0]), static_cast<Index>(a.dim[1]));
    std::copy(a.data.data(), a.data.data() + a.data.size(), m.data());
    return m;
  }

  // ---- structs

  // Walks the members of a struct-like object: a known key given twice is refused,
  // every other key (the predictor tag among them) is passed over, and `take(field,
  // value)` reads each known member. Returns which fields were present.
  template <std::size_t N, typename Take>
  Result<std::array<bool, N>> read_members(std::size_t obj, const std::array<std::string_view, N>& names,
                                           Take&& take) const {
    std::array<bool, N> seen{};
    for (std::size_t key = obj + 1; key < end_of(obj); key = end_of(key + 1)) {
      const std::size_t field = index_of(names, text(key));
      if (field == N) continue;
      if (seen[field]) return error_at(at_member(key), fmt("duplicate field `{}`", names[field]));
      seen[field] = true;
      VORSK_RETURN_IF_ERROR(take(field, key + 1));
    }
    return seen;
  }
  // The first of the leading `required` fields that is absent, if any.
  template <std::size_t N>
  Status require(std::size_t obj, const std::array<std::string_view, N>& names, const std::array<bool, N>& seen,
                 std::size_t required = N) const {
    for (std::size_t f = 0; f < required; ++f)
      if (!seen[f]) return error_at(at_end(obj), fmt("missing field `{}`", names[f]));
    return Status::success();
  }

  // ---- predictors

  Result<Predictor> read_predictor(std::size_t obj) {
    if (node(obj).kind != Kind::Object) return invalid_type(obj, "internally tagged enum Predictor");
    std::optional<std::size_t> kind;
    for (std::size_t key = obj + 1; key < end_of(obj); key = end_of(key + 1)) {
      if (text(key) != "kind") continue;
      if (kind) return error_at(at_member(key), "duplicate field `kind`");
      VORSK_ASSIGN_OR_RETURN(kind, read_variant(key + 1, kPredictorKinds));
    }
    if (!kind) return error_at(at_end(obj), "missing field `kind`");
    const bool outermost = !payload_of_;
    if (outermost) payload_of_ = obj;
    Result<Predictor> out = read_payload(*kind, obj);
    if (outermost) payload_of_.reset();
    return out;
  }

  Result<Predictor> read_payload(std::size_t kind, std::size_t obj) {
    switch (kind) {
      case 0: {
        static constexpr std::array<std::string_view, 2> kFields = {"knots", "centring"};
        CrPredictor p;
        VORSK_ASSIGN_OR_RETURN(const auto seen, read_members(obj, kFields, [&](std::size_t f, std::size_t v) {
                                 return f == 0 ? assign(p.knots, read_vector(v)) : assign(p.centring, read_matrix(v));
                               }));
        VORSK_RETURN_IF_ERROR(require(obj, kFields, seen));
        return Predictor{std::move(p)};
      }
      case 1: {
        static constexpr std::array<std::string_view, 1> kFields = {"levels"};
        RePredictor p;
        VORSK_ASSIGN_OR_RETURN(const auto seen, read_members(obj, kFields, [&](std::size_t, std::size_t v) {
                                 return read_numbers(v, p.levels);
                               }));
        VORSK_RETURN_IF_ERROR(require(obj, kFields, seen));
        return Predictor{std::move(p)};
      }
      case 2: {
        static constexpr std::array<std::string_view, 3> kFields = {"knots", "centring", "reparam_v"};
        CrStablePredictor p;
        VORSK_ASSIGN_OR_RETURN(const auto seen, read_members(obj, kFields, [&](std::size_t f, std::size_t v) {
                                 if (f == 0) return assign(p.knots, read_vector(v));
                                 return assign(f == 1 ? p.centring : p.reparam_v, read_matrix(v));
                               }));
        VORSK_RETURN_IF_ERROR(require(obj, kFields, seen));
        return Predictor{std::move(p)};
      }
      case 3: {
        static constexpr std::array<std::string_view, 3> kFields = {"term_predictors", "cols_used",
                                                                    "term_col_ranges"};
        AdditivePredictor p;
        VORSK_ASSIGN_OR_RETURN(const auto seen, read_members(obj, kFields, [&](std::size_t f, std::size_t v) {
                                 if (f == 0) return read_terms(v, p.term_predictors);
                                 if (f == 1) return read_columns(v, p.cols_used);
                                 return read_ranges(v, p.term_col_ranges);
                               }));
        VORSK_RETURN_IF_ERROR(require(obj, kFields, seen));
        return Predictor{std::move(p)};
      }
      default: {
        static constexpr std::array<std::string_view, 9> kFields = {
            "col_a", "col_b", "bs_a", "bs_b", "knots_a", "knots_b", "xp_a", "xp_b", "centring"};
        TensorPredictor p;
        VORSK_ASSIGN_OR_RETURN(const auto seen, read_members(obj, kFields, [&](std::size_t f, std::size_t v) -> Status {
                                 switch (f) {
                                   case 0: return assign(p.col_a, read_u64(v));
                                   case 1: return assign(p.col_b, read_u64(v));
                                   case 2:
                                   case 3: {
                                     // Only one margin basis exists; it only has to be named.
                                     VORSK_RETURN_IF_ERROR(read_variant(v, kMarginNames));
                                     (f == 2 ? p.bs_a : p.bs_b) = MarginBasis::Cr;
                                     return Status::success();
                                   }
                                   case 4: return assign(p.knots_a, read_vector(v));
                                   case 5: return assign(p.knots_b, read_vector(v));
                                   case 6: return assign(p.xp_a, read_matrix(v));
                                   case 7: return assign(p.xp_b, read_matrix(v));
                                   default: return assign(p.centring, read_matrix(v));
                                 }
                               }));
        VORSK_RETURN_IF_ERROR(require(obj, kFields, seen));
        return Predictor{std::move(p)};
      }
    }
  }

  Status read_terms(std::size_t array, std::vector<Predictor>& out) {
    if (node(array).kind != Kind::Array) return invalid_type(array, "a sequence");
    out.reserve(count(array));
    for (std::size_t e = array + 1; e < end_of(array); e = end_of(e)) {
      VORSK_ASSIGN_OR_RETURN(Predictor term, read_predictor(e));
      out.push_back(std::move(term));
    }
    return Status::success();
  }
  Status read_columns(std::size_t array, std::vector<std::vector<std::uint64_t>>& out) const {
    if (node(array).kind != Kind::Array) return invalid_type(array, "a sequence");
    out.reserve(count(array));
    for (std::size_t e = array + 1; e < end_of(array); e = end_of(e)) {
      VORSK_ASSIGN_OR_RETURN(std::vector<std::uint64_t> cols, read_u64_list(e));
      out.push_back(std::move(cols));
    }
    return Status::success();
  }
  Status read_ranges(std::size_t array, std::vector<ColumnRange>& out) const {
    if (node(array).kind != Kind::Array) return invalid_type(array, "a sequence");
    out.reserve(count(array));
    for (std::size_t e = array + 1; e < end_of(array); e = end_of(e)) {
      if (node(e).kind != Kind::Array) return invalid_type(e, "a tuple of size 2");
      if (count(e) != 2) return error_at(at_end(e), fmt("invalid length {}, expected a tuple of size 2", count(e)));
      VORSK_ASSIGN_OR_RETURN(const std::uint64_t first, read_u64(e + 1));
      VORSK_ASSIGN_OR_RETURN(const std::uint64_t last, read_u64(end_of(e + 1)));
      out.emplace_back(first, last);
    }
    return Status::success();
  }

  std::string_view body_;
  const Document& doc_;
  // The top-level predictor whose payload is being decoded.
  std::optional<std::size_t> payload_of_;
};

Result<FittedGam> decode_body(std::string_view body) {
  std::size_t taken = 0;
  try {
    Builder builder(&taken);
    const CountingIterator first(body.data(), &taken);
    const CountingIterator last(body.data() + body.size(), &taken);
    const bool parsed = Json::sax_parse(first, last, &builder, Json::input_format_t::json, /*strict=*/true,
                                        /*ignore_comments=*/false);
    // After a complete value the schema is checked before trailing text is reported:
    // a reader that decodes while it reads meets the schema error first.
    if (builder.root_complete()) {
      Result<FittedGam> out = Decoder(body, builder.document()).fitted(0);
      if (parsed || !out.ok()) return out;
    }
    if (const auto& failure = builder.failure()) return decode_error(body, failure->position, failure->what);
    return decode_error(body, taken, "malformed document");
  } catch (const std::bad_alloc&) {
    return decode_error(body, taken, "out of memory");
  } catch (const std::exception& e) {
    return decode_error(body, taken, e.what());
  }
}

}  // namespace

Result<std::string> serialize_fit(const FittedGam& model) {
  try {
    const std::string body = body_json(model).dump(-1, ' ', false, Json::error_handler_t::strict);
    std::string frame;
    frame.reserve(kFrameHeaderSize + body.size());
    frame.append(reinterpret_cast<const char*>(kMagic.data()), kMagic.size());
    put_le(frame, kFrameFormatVersion, 4);
    put_le(frame, body.size(), 8);
    frame += body;
    return frame;
  } catch (const std::exception& e) {
    return VorskError::invalid_parameter(fmt("FittedGam::serialize: JSON encode failed: {}", e.what()));
  }
}

Result<FittedGam> deserialize_fit(std::string_view bytes) {
  const auto invalid = [](std::string message) { return VorskError::invalid_parameter(std::move(message)); };
  if (bytes.size() < kFrameHeaderSize)
    return invalid(fmt("FittedGam::deserialize: buffer too short ({} < {} header bytes)", bytes.size(),
                       kFrameHeaderSize));
  const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
  if (!std::equal(kMagic.begin(), kMagic.end(), raw)) {
    const auto list = [](const unsigned char* p) {
      std::string out = "[";
      for (std::size_t i = 0; i < kMagic.size(); ++i) out += (i ? ", " : "") + std::to_string(p[i]);
      return out + "]";
    };
    return invalid(fmt("FittedGam::deserialize: bad magic; expected {}, got {}", list(kMagic.data()), list(raw)));
  }
  const auto version = static_cast<std::uint32_t>(get_le(raw + 5, 4));
  if (version != kFrameFormatVersion)
    return invalid(fmt("FittedGam::deserialize: unsupported format_version={} (this build expects {}). "
                       "Re-serialize with a matching vorsk release, or roll a migration.",
                       version, kFrameFormatVersion));
  const std::uint64_t length = get_le(raw + 9, 8);
  if (length > std::numeric_limits<std::uint64_t>::max() - kFrameHeaderSize)
    return invalid("FittedGam::deserialize: length overflow");
  const std::uint64_t have = bytes.size() - kFrameHeaderSize;
  if (have < length)
    return invalid(fmt("FittedGam::deserialize: truncated body (have {} bytes, header says {} payload bytes "
                       "follow the {}-byte header)",
                       have, length, kFrameHeaderSize));
  return decode_body(bytes.substr(kFrameHeaderSize, static_cast<std::size_t>(length)));
}

}  // namespace vorsk
