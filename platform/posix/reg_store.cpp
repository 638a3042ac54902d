// Parser and store for Windows Registry Editor export files.
//
// One pass over the lines. Sections below HKEY_LOCAL_MACHINE create their key
// and every ancestor (as `reg import` does), so "a key exists" is simply "it
// is in the map". Everything outside HKEY_LOCAL_MACHINE is dropped.
#include "platform/posix/reg_store.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace kavro::platform {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

unsigned char foldCase(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

// CR goes too: it is what is left of a CR LF line end.
std::string_view trimRight(std::string_view s) {
  while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && regNamesEqual(text.substr(0, prefix.size()), prefix);
}

// Reads 1 to `maxDigits` hex digits from the front of `s`.
bool takeHexNumber(std::string_view& s, std::size_t maxDigits, std::uint32_t* value) {
  std::size_t n = 0;
  std::uint32_t v = 0;
  while (n < s.size() && hexDigit(s[n]) >= 0) {
    if (n == maxDigits) return false;
    v = (v << 4) | static_cast<std::uint32_t>(hexDigit(s[n]));
    ++n;
  }
  if (n == 0) return false;
  s.remove_prefix(n);
  *value = v;
  return true;
}

// Reads a quoted text whose opening quote is already consumed, up to and
// including the closing quote. Only \\ and \" are escapes; any other
// backslash stands for itself (so "C:\dir" survives a careless hand edit).
bool takeQuoted(std::string_view& s, std::string* out) {
  std::size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

// "41,42 , 0" -> bytes. Blanks around items and one trailing comma (left by
// a continuation at the end of the file) are tolerated; an empty list is
// zero bytes.
bool parseHexList(std::string_view list, std::string* out) {
  out->clear();
  list = trimLeft(trimRight(list));
  out->reserve(list.size() / 3 + 1);
  while (!list.empty()) {
    std::uint32_t byte = 0;
    if (!takeHexNumber(list, 2, &byte)) return false;
    out->push_back(static_cast<char>(byte));
    list = trimLeft(list);
    if (list.empty()) break;
    if (list.front() != ',') return false;
    list = trimLeft(list.substr(1));
  }
  return true;
}

void appendUtf8(std::string* out, std::uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++number_;
    return true;
  }
  // The number of the line last returned, from 1.
  std::size_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
};

using Skip = std::optional<RegSkipReason>;

struct ReasonTexts {
  RegSkipReason reason;
  const char* name;
  const char* text;
};

constexpr ReasonTexts kReasonTexts[] = {
    {RegSkipReason::kNoHeader, "no-header",
     "the first line is neither \"Windows Registry Editor Version 5.00\" nor \"REGEDIT4\": the whole file "
     "is ignored"},
    {RegSkipReason::kBadSection, "bad-section", "a section without its closing ']'"},
    {RegSkipReason::kForeignRoot, "foreign-root", "a section outside HKEY_LOCAL_MACHINE"},
    {RegSkipReason::kRootDeletion, "root-deletion", "HKEY_LOCAL_MACHINE itself cannot be deleted"},
    {RegSkipReason::kNoSection, "no-section", "a value before the first section"},
    {RegSkipReason::kOutsideKey, "outside-key",
     "a value after a section that opens no key (one that was skipped, or a deletion)"},
    {RegSkipReason::kBadName, "bad-name", "the value's name lacks its closing quote"},
    {RegSkipReason::kNoData, "no-data", "no '=' and data after the value's name"},
    {RegSkipReason::kBadString, "bad-string",
     "the text lacks its closing quote, or something follows it (a comment after a value included)"},
    {RegSkipReason::kBadDword, "bad-dword", "dword: must be followed by 1 to 8 hexadecimal digits alone"},
    {RegSkipReason::kBadHex, "bad-hex", "a malformed hex(type): or list of hexadecimal bytes"},
    {RegSkipReason::kUnknownType, "unknown-type", "the data is neither \"text\", -, dword: nor hex"},
    {RegSkipReason::kNotAValue, "not-a-value", "neither a section, a value nor a comment"},
};

const ReasonTexts& reasonTexts(RegSkipReason reason) {
  for (const ReasonTexts& entry : kReasonTexts)
    if (entry.reason == reason) return entry;
  return kReasonTexts[0];
}

}  // namespace

bool RegNameLess::operator()(std::string_view a, std::string_view b) const noexcept {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = foldCase(a[i]);
    unsigned char y = foldCase(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool regNamesEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldCase(a[i]) != foldCase(b[i])) return false;
  }
  return true;
}

std::string utf16leToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t units = bytes.size() / 2;
  auto unitAt = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
  };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = unitAt(i);
    if (u >= 0xD800 && u <= 0xDFFF) {
      std::uint32_t low = i + 1 < units ? unitAt(i + 1) : 0;
      if (u <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        u = 0xFFFD;  // lone surrogate: UTF-8 cannot carry it
      }
    }
    appendUtf8(&out, u);
  }
  return out;
}

const RegKey* RegStore::findKey(std::string_view path) const {
  auto it = keys_.find(path);
  return it == keys_.end() ? nullptr : &it->second;
}

RegStatus queryRegValue(const RegKey& key, std::string_view name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size) {
  auto it = key.values.find(name);
  if (it == key.values.end()) return RegStatus::kNotFound;
  const RegValue& value = it->second;
  if (type != nullptr) *type = value.type;
  if (size == nullptr) return RegStatus::kOk;
  if (data != nullptr) {
    if (value.data.size() > *size) {
      *size = value.data.size();
      return RegStatus::kMoreData;
    }
    if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
  }
  *size = value.data.size();
  return RegStatus::kOk;
}

const char* regSkipReasonText(RegSkipReason reason) { return reasonTexts(reason).text; }
const char* regSkipReasonName(RegSkipReason reason) { return reasonTexts(reason).name; }

class RegFileParser {
 public:
  explicit RegFileParser(std::vector<RegSkippedLine>* skipped) : skipped_(skipped) {}
  RegStore run(std::string_view fileBytes);

 private:
  Skip parseSection(std::string_view line);
  Skip parseValue(std::string_view line, LineReader& reader);
  Skip noKey() const { return sectionSeen_ ? RegSkipReason::kOutsideKey : RegSkipReason::kNoSection; }
  std::string_view gatherContinuation(std::string_view first, LineReader& reader);
  RegKey& ensureKey(std::string_view path);
  void deleteKey(std::string_view path);
  void skip(std::size_t number, RegSkipReason reason, std::string_view line) {
    if (skipped_ != nullptr) skipped_->push_back(RegSkippedLine{number, reason, std::string(line)});
  }

  RegStore store_;
  RegKey* current_ = nullptr;  // null: no section yet, or one whose values are dropped
  bool sectionSeen_ = false;
  bool unicode_ = false;  // version 5.00: string types in hex are UTF-16LE
  std::string joined_;    // a hex list gathered over continuation lines
  std::vector<RegSkippedLine>* skipped_;
};

RegStore RegFileParser::run(std::string_view fileBytes) {
  std::string converted;
  std::string_view text = fileBytes;
  if (text.starts_with(kUtf16LeBom)) {
    converted = utf16leToUtf8(text.substr(kUtf16LeBom.size()));
    text = converted;
  } else if (text.starts_with(kUtf8Bom)) {
    text.remove_prefix(kUtf8Bom.size());
  }

  LineReader reader(text);
  std::string_view line;
  if (!reader.next(&line)) {
    skip(1, RegSkipReason::kNoHeader, "");
    return {};
  }
  if (trimRight(line) == kHeader5) {
    unicode_ = true;
  } else if (trimRight(line) != kHeader4) {
    // regedit refuses a file without its header.
    skip(1, RegSkipReason::kNoHeader, trimRight(line));
    return {};
  }

  while (reader.next(&line)) {
    std::size_t number = reader.number();
    std::string_view raw = trimRight(line);
    line = trimLeft(raw);
    if (line.empty() || line.front() == ';') continue;
    Skip skipped = RegSkipReason::kNotAValue;
    if (line.front() == '[') {
      skipped = parseSection(line);
    } else if (line.front() == '"' || line.front() == '@') {
      skipped = parseValue(line, reader);
    }
    if (skipped) skip(number, *skipped, raw);
  }
  return std::move(store_);
}

Skip RegFileParser::parseSection(std::string_view line) {
  // Even a malformed or foreign section ends the previous one: its values
  // must not land in the key above it.
  current_ = nullptr;
  sectionSeen_ = true;
  if (line.size() < 2 || line.back() != ']') return RegSkipReason::kBadSection;
  std::string_view inner = line.substr(1, line.size() - 2);
  bool remove = !inner.empty() && inner.front() == '-';
  if (remove) inner.remove_prefix(1);

  std::size_t slash = inner.find('\\');
  std::string_view root = inner.substr(0, slash);
  if (!regNamesEqual(root, "HKEY_LOCAL_MACHINE") && !regNamesEqual(root, "HKLM"))
    return RegSkipReason::kForeignRoot;
  std::string_view path = slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);

  if (remove) {
    if (path.empty()) return RegSkipReason::kRootDeletion;
    deleteKey(path);
    return std::nullopt;
  }
  current_ = &ensureKey(path);
  return std::nullopt;
}

RegKey& RegFileParser::ensureKey(std::string_view path) {
  auto& keys = store_.keys_;
  // Deletion removes whole subtrees, so an existing key has all its ancestors.
  auto found = keys.find(path);
  if (found != keys.end()) return found->second;
  keys.try_emplace(std::string());  // the root, parent of everything
  for (std::size_t pos = path.find('\\'); pos != std::string_view::npos; pos = path.find('\\', pos + 1)) {
    std::string_view ancestor = path.substr(0, pos);
    if (keys.find(ancestor) == keys.end()) keys.try_emplace(std::string(ancestor));
  }
  return keys.try_emplace(std::string(path)).first->second;
}

void RegFileParser::deleteKey(std::string_view path) {
  auto& keys = store_.keys_;
  auto self = keys.find(path);
  if (self != keys.end()) keys.erase(self);
  // Subkeys are "path\..." and sort together, after anything like "path!x".
  std::string prefix(path);
  prefix.push_back('\\');
  auto it = keys.lower_bound(std::string_view(prefix));
  while (it != keys.end() && startsWithNoCase(it->first, prefix)) it = keys.erase(it);
}

std::string_view RegFileParser::gatherContinuation(std::string_view first, LineReader& reader) {
  if (first.empty() || first.back() != '\\') return first;
  joined_.assign(first.substr(0, first.size() - 1));
  std::string_view line;
  while (reader.next(&line)) {
    line = trimRight(trimLeft(line));
    bool more = !line.empty() && line.back() == '\\';
    if (more) line.remove_suffix(1);
    joined_.append(line);
    if (!more) break;
  }
  return joined_;
}

Skip RegFileParser::parseValue(std::string_view line, LineReader& reader) {
  std::string name;
  std::string_view rest = line.substr(1);
  if (line.front() == '"' && !takeQuoted(rest, &name)) return RegSkipReason::kBadName;
  rest = trimLeft(rest);
  if (rest.empty() || rest.front() != '=') return RegSkipReason::kNoData;
  rest = trimLeft(rest.substr(1));
  if (rest.empty()) return RegSkipReason::kNoData;

  RegValue value;
  if (rest.front() == '"') {
    rest.remove_prefix(1);
    if (!takeQuoted(rest, &value.data) || !rest.empty()) return RegSkipReason::kBadString;
    value.data.push_back('\0');
    value.type = kRegSz;
  } else if (rest == "-") {
    if (current_ == nullptr) return noKey();
    auto it = current_->values.find(name);
    if (it != current_->values.end()) current_->values.erase(it);
    return std::nullopt;
  } else if (startsWithNoCase(rest, "dword:")) {
    rest.remove_prefix(6);
    std::uint32_t number = 0;
    if (!takeHexNumber(rest, 8, &number) || !rest.empty()) return RegSkipReason::kBadDword;
    value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8)
      value.data.push_back(static_cast<char>((number >> shift) & 0xFF));
  } else if (startsWithNoCase(rest, "hex")) {
    rest.remove_prefix(3);
    // Gather first, so that continuation lines of a bad value are consumed
    // with it rather than read as lines of their own.
    rest = gatherContinuation(rest, reader);
    std::uint32_t type = kRegBinary;
    if (!rest.empty() && rest.front() == '(') {
      rest.remove_prefix(1);
      if (!takeHexNumber(rest, 8, &type) || rest.empty() || rest.front() != ')')
        return RegSkipReason::kBadHex;
      rest.remove_prefix(1);
    }
    if (rest.empty() || rest.front() != ':') return RegSkipReason::kBadHex;
    if (!parseHexList(rest.substr(1), &value.data)) return RegSkipReason::kBadHex;
    value.type = type;
    if (unicode_ && (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz)) {
      value.data = utf16leToUtf8(value.data);
    }
  } else {
    return RegSkipReason::kUnknownType;
  }
  if (current_ == nullptr) return noKey();
  current_->values.insert_or_assign(std::move(name), std::move(value));
  return std::nullopt;
}

RegStore parseRegFile(std::string_view fileBytes, std::vector<RegSkippedLine>* skipped) {
  return RegFileParser(skipped).run(fileBytes);
}

}  // namespace kavro::platform
