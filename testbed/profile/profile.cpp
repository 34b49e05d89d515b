#include "testbed/profile/profile.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace testbed {

namespace {

struct Field {
  std::string key;
  std::string value;
  bool has_value = false;
  bool used = false;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool parse_integer(std::string_view text, std::int64_t low, std::int64_t high,
                   std::int64_t& value) {
  bool negative = false;
  int base = 10;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
  if (magnitude > std::uint64_t(std::numeric_limits<std::int64_t>::max())) return false;
  value = negative ? -std::int64_t(magnitude) : std::int64_t(magnitude);
  return value >= low && value <= high;
}

std::string quoted(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  result += '"';
  result += text;
  result += '"';
  return result;
}

// Offsets in 64 bits, as a long is 32 bits on Windows; native builds, which serve to fuzz the
// parser, have fseeko.
#ifdef _WIN32
std::int64_t tell(std::FILE* file) { return _ftelli64(file); }
int seek(std::FILE* file, std::int64_t offset) { return _fseeki64(file, offset, SEEK_SET); }
#else
std::int64_t tell(std::FILE* file) { return ftello(file); }
int seek(std::FILE* file, std::int64_t offset) { return fseeko(file, off_t(offset), SEEK_SET); }
#endif

}  // namespace

std::optional<FailRule> Profile::take_rule(long call, std::string_view object,
                                           std::string_view member, unsigned kind,
                                           bool can_refuse) {
  for (FailRule& rule : rules_) {
    if (rule.remaining == 0 || (rule.call != 0 && rule.call != call)) continue;
    if (rule.refuse != 0 && !can_refuse) continue;
    if (!rule.matches_object(object) || !rule.matches_member(member, kind)) continue;
    if (rule.remaining > 0) --rule.remaining;
    return rule;
  }
  return std::nullopt;
}

std::optional<FailRule> Profile::take_hang(long call, std::string_view object,
                                           std::string_view member, unsigned kind) {
  for (FailRule& rule : hang_rules_) {
    if (rule.remaining == 0 || (rule.call != 0 && rule.call != call)) continue;
    if (!rule.matches_object(object) || !rule.matches_member(member, kind)) continue;
    rule.remaining = 0;
    return rule;
  }
  return std::nullopt;
}

bool Profile::is_absent(std::string_view member) const {
  for (const std::string& absent : absent_members_) {
    if (same_member_name(absent, member)) return true;
  }
  return false;
}

bool same_member_name(std::string_view one, std::string_view other) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  if (one.size() != other.size()) return false;
  for (std::size_t at = 0; at < one.size(); ++at) {
    if (lower(one[at]) != lower(other[at])) return false;
  }
  return true;
}

bool FailRule::matches_object(std::string_view name) const {
  return object_prefix ? name.starts_with(object) : object.empty() || name == object;
}

bool FailRule::matches_member(std::string_view name, unsigned kind) const {
  // A QueryInterface failure is asked for by name only, so that "*" keeps meaning the calls.
  if (name == "QueryInterface") return member == name;
  return (member == "*" || member == name) && (kinds == 0 || (kinds & kind) != 0);
}

// One fixture line taken apart: its directive word and its key=value fields. Every field must
// be used by the directive, so that a misspelt key is an error rather than silently ignored.
class Profile::Directive {
 public:
  Directive(const Profile& profile, int line) : profile_(profile), line_(line) {}

  // False for a blank or comment line.
  bool parse(std::string_view text) {
    std::size_t at = 0;
    while (true) {
      while (at < text.size() && is_blank(text[at])) ++at;
      if (at == text.size() || text[at] == '#') break;
      std::size_t end = at;
      while (end < text.size() && !is_blank(text[end]) && text[end] != '=') ++end;
      const std::string key(text.substr(at, end - at));
      if (key.empty()) fail("a field without a name");
      Field field{key, {}, false, false};
      at = end;
      if (at < text.size() && text[at] == '=') {
        ++at;
        field.has_value = true;
        if (at < text.size() && text[at] == '"') {
          at = read_quoted(text, at + 1, field.value);
        } else {
          while (at < text.size() && !is_blank(text[at])) field.value += text[at++];
          if (field.value.empty()) fail("empty value for \"" + key + "\"");
        }
      }
      if (word_.empty()) {
        if (field.has_value) fail("a line must start with a directive, not \"" + key + "=\"");
        word_ = key;
        continue;
      }
      for (const Field& earlier : fields_) {
        if (earlier.key == key) fail("\"" + key + "\" given twice");
      }
      fields_.push_back(std::move(field));
    }
    return !word_.empty();
  }

  const std::string& word() const { return word_; }
  int line() const { return line_; }

  std::optional<std::string> take(const char* key) {
    Field* field = find(key);
    if (field == nullptr) return std::nullopt;
    if (!field->has_value) fail("\"" + std::string(key) + "\" needs a value");
    return std::move(field->value);
  }

  std::string require(const char* key) {
    std::optional<std::string> value = take(key);
    if (!value) fail("missing \"" + std::string(key) + "=\"");
    return std::move(*value);
  }

  std::optional<std::int64_t> take_number(const char* key, std::int64_t low, std::int64_t high) {
    const std::optional<std::string> text = take(key);
    if (!text) return std::nullopt;
    std::int64_t value = 0;
    if (!parse_integer(*text, low, high, value)) {
      fail("\"" + std::string(key) + "\" must be a number from " + std::to_string(low) + " to " +
           std::to_string(high) + ", not " + quoted(*text));
    }
    return value;
  }

  // 32-bit status codes, written in hex as unsigned or in decimal as signed.
  std::optional<std::int32_t> take_code(const char* key) {
    const auto value = take_number(key, std::numeric_limits<std::int32_t>::min(), UINT32_MAX);
    if (!value) return std::nullopt;
    return std::int32_t(std::uint32_t(std::uint64_t(*value)));
  }

  bool take_flag(const char* key) {
    Field* field = find(key);
    if (field == nullptr) return false;
    if (field->has_value) fail("\"" + std::string(key) + "\" takes no value");
    return true;
  }

  void finish() {
    for (const Field& field : fields_) {
      if (!field.used) fail("unknown field \"" + field.key + "\" for " + word_);
    }
  }

  [[noreturn]] void fail(const std::string& what) const { profile_.fail_at(line_, what); }

 private:
  std::size_t read_quoted(std::string_view text, std::size_t at, std::string& value) {
    while (true) {
      if (at == text.size()) fail("a quoted value is not closed");
      const char c = text[at++];
      if (c == '"') break;
      if (c == '\\') {
        if (at == text.size() || (text[at] != '"' && text[at] != '\\')) {
          fail("only \\\" and \\\\ may follow a backslash in a quoted value");
        }
        value += text[at++];
      } else {
        value += c;
      }
    }
    if (at < text.size() && !is_blank(text[at])) fail("text right after a closing quote");
    return at;
  }

  Field* find(const char* key) {
    for (Field& field : fields_) {
      if (field.key == key) {
        field.used = true;
        return &field;
      }
    }
    return nullptr;
  }

  const Profile& profile_;
  int line_;
  std::string word_;
  std::vector<Field> fields_;
};

Profile::Profile(std::string path) : path_(std::move(path)) {}

std::unique_ptr<Profile> Profile::load(const std::string& path) {
  std::unique_ptr<Profile> profile(new Profile(path));
  profile->reader_.reset(std::fopen(path.c_str(), "rb"));
  if (profile->reader_ == nullptr) throw ProfileError(path + ": cannot open the profile");
  profile->read_appended(true);
  return profile;
}

void Profile::refresh() { read_appended(false); }

void Profile::read_appended(bool first) {
  if (seek(reader_.get(), read_offset_) != 0) {
    throw ProfileError(path_ + ": cannot read the profile");
  }
  std::string text;
  char block[65536];
  for (std::size_t got; (got = std::fread(block, 1, sizeof block, reader_.get())) != 0;) {
    text.append(block, got);
  }
  if (std::ferror(reader_.get())) throw ProfileError(path_ + ": cannot read the profile");

  // The first read takes a last line without a line end as it is; later reads leave such a
  // line for the next time, as its writer may still be writing it.
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      if (!first) break;
      end = text.size();
      ends_without_newline_ = true;
    }
    const std::int64_t offset = read_offset_ + std::int64_t(at);
    ++lines_read_;
    while (!own_lines_.empty() && own_lines_.front() < offset) own_lines_.pop_front();
    if (!own_lines_.empty() && own_lines_.front() == offset) {
      own_lines_.pop_front();
    } else {
      std::string_view line(text.data() + at, end - at);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      apply(line, lines_read_);
    }
    at = end == text.size() ? end : end + 1;
  }
  read_offset_ += std::int64_t(at);
}

void Profile::apply(std::string_view line, int number) {
  Directive directive(*this, number);
  if (!directive.parse(line)) return;
  const std::string& word = directive.word();
  if (word == "folder") {
    apply_folder(directive);
  } else if (word == "item") {
    apply_item(directive);
  } else if (word == "fail") {
    apply_fail(directive);
  } else if (word == "absent") {
    apply_absent(directive);
  } else if (word == "end") {
    apply_end(directive);
  } else if (word == "busy" || word == "other_level") {
    apply_busy(directive);
  } else if (word == "hang") {
    apply_hang(directive);
  } else if (word == "saved") {
    apply_saved(directive);
  } else if (word == "created") {
    apply_created(directive);
  } else if (word == "defaultform") {
    apply_default_form(directive);
  } else if (word == "form") {
    apply_form(directive);
  } else if (word == "formremoved") {
    apply_form_removed(directive);
  } else {
    directive.fail("unknown directive " + quoted(word));
  }
  directive.finish();
}

void Profile::apply_folder(Directive& directive) {
  Folder folder;
  folder.path = directive.require("path");
  const std::optional<std::string> store = directive.take("store");
  folder.entry_id = directive.require("entry");
  folder.item_type = std::int32_t(directive.take_number("type", INT32_MIN, INT32_MAX).value_or(0));
  folder.form = intern(directive.take("form").value_or("IPM.Note"));
  folder.display = intern_optional(directive.take("display"));

  const std::string& path = folder.path;
  if (path.empty() || path.front() == '/' || path.back() == '/' ||
      path.find("//") != std::string::npos) {
    directive.fail("folder path " + quoted(path) + " has an empty name in it");
  }
  if (folder_index_.count(path) != 0) directive.fail("folder " + quoted(path) + " given twice");
  const std::uint32_t index = std::uint32_t(folders_.size());
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    if (!store) directive.fail("store root " + quoted(path) + " needs \"store=\"");
    folder.store_id = *store;
    folder.root = index;
    roots_.push_back(index);
  } else {
    if (store) directive.fail("\"store=\" belongs on a store root; " + quoted(path) + " is not");
    const auto parent = folder_index_.find(path.substr(0, slash));
    if (parent == folder_index_.end()) {
      directive.fail("the parent of " + quoted(path) + " is not declared before it");
    }
    folder.parent = parent->second;
    folder.root = folders_[parent->second].root;
    folders_[parent->second].children.push_back(index);
  }
  folder_index_.emplace(path, index);
  folders_.push_back(std::move(folder));
}

void Profile::apply_item(Directive& directive) {
  const std::uint32_t folder = folder_named(directive, directive.require("folder"));
  const std::uint32_t message_class = intern_optional(directive.take("class"));
  const std::int64_t count = directive.take_number("count", 0, 100000000).value_or(1);
  std::vector<std::uint32_t>& items = folders_[folder].items;
  if (std::int64_t(items.size()) + count > INT32_MAX) directive.fail("too many items in a folder");
  items.insert(items.end(), std::size_t(count), message_class);
}

// What a fail or hang rule matches: its object (exact, or a prefix ending in "*") and member.
FailRule Profile::rule_target(Directive& directive) {
  FailRule rule;
  rule.line = directive.line();
  if (std::optional<std::string> object = directive.take("object")) {
    rule.object = std::move(*object);
    if (rule.object.ends_with('*')) {
      rule.object.pop_back();
      rule.object_prefix = true;
    }
  }
  rule.member = directive.take("member").value_or("*");
  return rule;
}

void Profile::apply_fail(Directive& directive) {
  FailRule rule = rule_target(directive);
  if (const std::optional<std::string> kind = directive.take("kind")) {
    if (*kind == "get") {
      rule.kinds = kind_get;
    } else if (*kind == "put") {
      rule.kinds = kind_put;
    } else if (*kind == "method") {
      rule.kinds = kind_method;
    } else {
      directive.fail("\"kind\" is get, put or method, not " + quoted(*kind));
    }
  }
  const std::optional<std::int64_t> call = directive.take_number("call", 1, INT32_MAX);
  rule.call = long(call.value_or(0));
  rule.remaining = long(directive.take_number("times", 1, INT32_MAX).value_or(-1));
  const std::optional<std::int32_t> hresult = directive.take_code("hresult");
  rule.exception = directive.take_flag("exception");
  const std::optional<std::int64_t> wcode = directive.take_number("wcode", 0, 0xFFFF);
  const std::optional<std::int32_t> scode = directive.take_code("scode");
  std::optional<std::string> source = directive.take("source");
  std::optional<std::string> description = directive.take("description");
  const std::optional<std::int64_t> deferred = directive.take_number("deferred", 0, 1);
  const std::optional<std::int32_t> refuse = directive.take_code("refuse");

  if (rule.object.empty() && !rule.object_prefix && rule.call == 0) {
    directive.fail("a fail rule needs \"object=\" or \"call=\"");
  }
  if (int(hresult.has_value()) + int(rule.exception) + int(refuse.has_value()) != 1) {
    directive.fail("a fail rule needs one of \"hresult=\", \"exception\" and \"refuse=\"");
  }
  if (refuse && *refuse == 0) directive.fail("\"refuse\" names a property tag");
  if (!rule.exception && (wcode || scode || source || description || deferred)) {
    directive.fail("wcode, scode, source, description and deferred belong to \"exception\"");
  }
  // Success codes other than S_OK are allowed: MAPIInitialize, for one, may answer with one.
  if (hresult && *hresult == 0) directive.fail("\"hresult\" must not be S_OK");
  if (rule.member == "QueryInterface" &&
      (rule.exception || refuse || rule.kinds != 0 || rule.call != 0)) {
    directive.fail("a QueryInterface rule takes only object=, times= and hresult=");
  }
  rule.hresult = hresult.value_or(0);
  rule.wcode = std::uint16_t(wcode.value_or(0));
  rule.scode = scode.value_or(0);
  rule.source = source.value_or("");
  rule.description = description.value_or("");
  rule.deferred = deferred.value_or(0) != 0;
  rule.refuse = std::uint32_t(refuse.value_or(0));
  rules_.push_back(std::move(rule));
}

void Profile::apply_absent(Directive& directive) {
  absent_members_.push_back(directive.require("member"));
  if (absent_members_.back().empty()) directive.fail("\"absent\" names a member");
}

void Profile::apply_end(Directive& directive) {
  end_after_call_ = long(directive.take_number("call", 1, INT32_MAX).value_or(0));
  if (end_after_call_ == 0) directive.fail("missing \"call=\"");
}

void Profile::apply_busy(Directive& directive) {
  if (directive.word() == "other_level") {
    behaviour_.other_level_window = directive.require("window");
    return;
  }
  const auto for_ms = directive.take_number("for_ms", 1, INT32_MAX);
  const auto every = directive.take_number("every", 2, INT32_MAX);
  if (!for_ms && !every) directive.fail("\"busy\" needs \"for_ms=\" or \"every=\"");
  if (for_ms) behaviour_.busy_for_ms = long(*for_ms);
  if (every) behaviour_.busy_every = long(*every);
}

void Profile::apply_hang(Directive& directive) {
  FailRule rule = rule_target(directive);
  rule.call = long(directive.take_number("call", 1, INT32_MAX).value_or(0));
  if (rule.object.empty() && !rule.object_prefix && rule.call == 0)
    directive.fail("a hang rule needs \"object=\" or \"call=\"");
  if (rule.member == "QueryInterface") directive.fail("a hang rule names a member called by Invoke");
  rule.late_ms = long(directive.take_number("for_ms", 1, INT32_MAX).value_or(0));
  rule.remaining = 1;
  hang_rules_.push_back(std::move(rule));
}

void Profile::apply_saved(Directive& directive) {
  const std::string item = directive.require("item");
  const std::size_t hash = item.rfind('#');
  if (hash == std::string::npos) directive.fail("\"item\" reads <folder path>#<number>");
  const std::uint32_t folder = folder_named(directive, item.substr(0, hash));
  std::int64_t number = 0;
  std::vector<std::uint32_t>& items = folders_[folder].items;
  if (!parse_integer(std::string_view(item).substr(hash + 1), 1, std::int64_t(items.size()),
                     number)) {
    directive.fail("no item " + quoted(item));
  }
  if (const std::optional<std::string> message_class = directive.take("class")) {
    items[std::size_t(number - 1)] = intern(*message_class);
  }
}

void Profile::apply_created(Directive& directive) {
  const std::uint32_t folder = folder_named(directive, directive.require("folder"));
  folders_[folder].items.push_back(intern_optional(directive.take("class")));
}

void Profile::apply_default_form(Directive& directive) {
  const std::uint32_t folder = folder_named(directive, directive.require("folder"));
  folders_[folder].form = intern(directive.require("class"));
  folders_[folder].display = intern_optional(directive.take("display"));
}

void Profile::apply_form(Directive& directive) {
  static constexpr std::string_view libraries[] = {"personal", "folder", "local", "organization"};
  const std::string library = directive.require("library");
  Form form;
  std::size_t at = 0;
  while (at < std::size(libraries) && libraries[at] != library) ++at;
  if (at == std::size(libraries)) directive.fail("no forms library " + quoted(library));
  form.library = FormLibrary(at);
  if (form.library == FormLibrary::folder)
    form.folder = folder_named(directive, directive.require("folder"));
  form.message_class = intern(directive.require("class"));
  char entry[16];
  std::snprintf(entry, sizeof entry, "F0F0%08X", unsigned(forms_.size() + 1));
  form.entry_id = entry;
  forms_.push_back(form);
}

void Profile::apply_form_removed(Directive& directive) {
  const std::optional<std::int64_t> form =
      directive.take_number("form", 1, std::int64_t(forms_.size()));
  if (!form) directive.fail("\"formremoved\" needs \"form=\"");
  forms_[std::size_t(*form - 1)].removed = true;
}

std::uint32_t Profile::folder_named(Directive& directive, const std::string& path) const {
  const auto found = folder_index_.find(path);
  if (found == folder_index_.end()) directive.fail("no folder " + quoted(path));
  return found->second;
}

std::uint32_t Profile::find_folder(std::string_view path) const {
  const auto found = folder_index_.find(std::string(path));
  return found == folder_index_.end() ? no_folder : found->second;
}

const std::string& Profile::store_id(std::uint32_t folder) const {
  return folders_[folders_[folder].root].store_id;
}

const std::string& Profile::text(std::uint32_t id) const { return texts_[id]; }

std::string Profile::item_entry_id(std::uint32_t folder, std::uint32_t number) const {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", unsigned(number));
  return folders_[folder].entry_id + digits;
}

std::optional<Profile::ItemPlace> Profile::find_item(std::string_view store_id,
                                                     std::string_view entry_id) const {
  constexpr std::size_t number_digits = 8;
  if (entry_id.size() <= number_digits) return std::nullopt;
  std::uint32_t number = 0;
  const char* const digits = entry_id.data() + entry_id.size() - number_digits;
  const auto [end, error] = std::from_chars(digits, digits + number_digits, number, 16);
  if (error != std::errc() || end != digits + number_digits || number == 0) return std::nullopt;
  const auto key = [](std::uint32_t root, std::string_view id) {
    std::string text = std::to_string(root) + "/";
    for (const char c : id) text += c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return text;
  };
  // Folders are only ever added: the index is brought up to date with those added since.
  for (; entries_indexed_ < folders_.size(); ++entries_indexed_) {
    const Folder& folder = folders_[entries_indexed_];
    entry_index_.try_emplace(key(folder.root, folder.entry_id), std::uint32_t(entries_indexed_));
  }
  const std::string_view folder_id = entry_id.substr(0, entry_id.size() - number_digits);
  for (const std::uint32_t root : roots_) {
    if (!store_id.empty() && key(0, store_id) != key(0, folders_[root].store_id)) continue;
    const auto found = entry_index_.find(key(root, folder_id));
    if (found != entry_index_.end() && number <= folders_[found->second].items.size())
      return ItemPlace{found->second, number};
  }
  return std::nullopt;
}

std::uint32_t Profile::intern(std::string_view text) {
  const auto [found, added] = text_index_.try_emplace(std::string(text), 0);
  if (added) {
    found->second = std::uint32_t(texts_.size());
    texts_.emplace_back(text);
  }
  return found->second;
}

std::uint32_t Profile::intern_optional(const std::optional<std::string>& text) {
  return text ? intern(*text) : no_text;
}

void Profile::save_item(std::uint32_t folder, std::uint32_t number,
                        const std::optional<std::string>& message_class) {
  std::string line =
      "saved item=" + fixture_value(folders_[folder].path + "#" + std::to_string(number));
  if (message_class) line += " class=" + fixture_value(*message_class);
  append(line);
  if (message_class) folders_[folder].items[number - 1] = intern(*message_class);
}

std::uint32_t Profile::create_item(std::uint32_t folder,
                                   const std::optional<std::string>& message_class) {
  std::string line = "created folder=" + fixture_value(folders_[folder].path);
  if (message_class) line += " class=" + fixture_value(*message_class);
  append(line);
  folders_[folder].items.push_back(intern_optional(message_class));
  return std::uint32_t(folders_[folder].items.size());
}

void Profile::set_default_form(std::uint32_t folder, const std::string& message_class,
                               const std::string& display) {
  append("defaultform folder=" + fixture_value(folders_[folder].path) +
         " class=" + fixture_value(message_class) + " display=" + fixture_value(display));
  folders_[folder].form = intern(message_class);
  folders_[folder].display = intern(display);
}

void Profile::remove_form(std::size_t form) {
  append("formremoved form=" + std::to_string(form + 1));
  forms_[form].removed = true;
}

void Profile::append(const std::string& line) {
  if (line.find_first_of("\r\n") != std::string::npos) {
    throw ProfileError(path_ + ": a value with a line break cannot be recorded");
  }
  if (writer_ == nullptr) {
    writer_.reset(std::fopen(path_.c_str(), "ab"));
    if (writer_ == nullptr) throw ProfileError(path_ + ": cannot append to the profile");
  }
  // A fixture whose last line has no line end would otherwise swallow the first change.
  std::string text;
  if (ends_without_newline_) text += '\n';
  text += line;
  text += '\n';
  if (std::fwrite(text.data(), 1, text.size(), writer_.get()) != text.size() ||
      std::fflush(writer_.get()) != 0) {
    std::clearerr(writer_.get());
    throw ProfileError(path_ + ": cannot append to the profile");
  }
  ends_without_newline_ = false;
  // Append mode writes at the end, so the line ends where the file now ends.
  own_lines_.push_back(tell(writer_.get()) - std::int64_t(line.size() + 1));
}

void Profile::fail_at(int line, const std::string& what) const {
  throw ProfileError(path_ + ":" + std::to_string(line) + ": " + what);
}

std::string fixture_value(std::string_view text) {
  bool bare = !text.empty() && text.front() != '"' && text.front() != '#';
  for (const char c : text) {
    if (is_blank(c)) bare = false;
  }
  if (bare) return std::string(text);
  std::string value = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') value += '\\';
    value += c;
  }
  return value + "\"";
}

}  // namespace testbed
