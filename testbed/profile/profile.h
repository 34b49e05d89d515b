#pragma once
// The simulated mail profile that the Outlook and MAPI stand-ins share: stores, nested folders
// with their default item type and default form, items with their message class, and the
// failures a test asks for. It lives in a plain text fixture that tests write and read; the
// stand-ins append a line for every change they make, so that the file is also the record of
// what the program changed. Nothing here needs COM, so that every stand-in can use it.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace testbed {

// A fixture that cannot be read or written; the message reads "<file>:<line>: <what>" when it
// concerns a line.
class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The kinds of call a fail rule narrows to; the values of DISPATCH_METHOD, _PROPERTYGET and
// _PROPERTYPUT, so that a server can test them against the call's flags.
enum CallKind : unsigned { kind_method = 1, kind_get = 2, kind_put = 4 };

struct FailRule {
  int line = 0;                // where it was written, for messages
  std::string object;          // empty: any object
  bool object_prefix = false;  // the pattern ended with '*', which is cut off
  std::string member = "*";    // a member name, "*" or "QueryInterface"
  unsigned kinds = 0;          // CallKind bits; 0 for any kind
  long call = 0;               // the process-wide call number it is bound to; 0 for any
  long remaining = -1;         // calls it still fails; -1 for every call
  bool exception = false;      // a server exception rather than a plain failure code
  std::int32_t hresult = 0;
  std::uint16_t wcode = 0;
  std::int32_t scode = 0;
  std::string source;
  std::string description;
  bool deferred = false;     // the exception is filled in only when the caller asks
  std::uint32_t refuse = 0;  // a property tag the call refuses while succeeding as a whole
  long late_ms = 0;          // a hang rule's: the call comes back after this long; 0 for never

  bool matches_object(std::string_view name) const;
  bool matches_member(std::string_view name, unsigned kind) const;
};

// How the server as a whole behaves, as Outlook does while it starts, shows a dialog, or runs
// at another privilege level than its caller.
struct ServerBehaviour {
  long busy_for_ms = 0;            // every call turned away for this long after the making
  long busy_every = 0;             // every K-th call turned away once; 0 for none
  std::string other_level_window;  // while a top-level window of this class exists the
                                   // making fails as for a server at another level
};

class Profile {
 public:
  static constexpr std::uint32_t no_text = UINT32_MAX;
  static constexpr std::uint32_t no_folder = UINT32_MAX;

  struct Folder {
    std::string path;        // names from the store root down, joined by '/'
    std::string entry_id;    // hexadecimal text, as the fixture gives it
    std::uint32_t root = 0;  // the store root it belongs to (itself for a root)
    std::uint32_t parent = no_folder;
    std::int32_t item_type = 0;       // DefaultItemType
    std::uint32_t form = no_text;     // default form's message class
    std::uint32_t display = no_text;  // default form's display name
    std::string store_id;             // only on a store root
    std::vector<std::uint32_t> children;
    std::vector<std::uint32_t> items;  // message class of each item, no_text when it has none
  };

  // A form published to a forms library: the default store's personal library, a folder's own,
  // the local forms cache, or the organization's (the Exchange administrator's). In the
  // personal and a folder's library a form is a hidden item of its own, which Outlook can see.
  enum class FormLibrary { personal, folder, local, organization };
  struct Form {
    FormLibrary library = FormLibrary::personal;
    std::uint32_t folder = no_folder;  // the folder library's folder
    std::uint32_t message_class = no_text;
    std::string entry_id;  // its hidden item's, hexadecimal text
    bool removed = false;
  };

  // Reads the whole fixture. Throws ProfileError.
  static std::unique_ptr<Profile> load(const std::string& path);
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<Folder>& folders() const { return folders_; }
  const std::vector<std::uint32_t>& roots() const { return roots_; }
  std::uint32_t find_folder(std::string_view path) const;  // no_folder when unknown
  const std::string& store_id(std::uint32_t folder) const;
  const std::string& text(std::uint32_t id) const;  // an interned class or display name
  const std::vector<Form>& forms() const { return forms_; }
  // An item's EntryID: its folder's EntryID and then its number as eight hex digits, so that an
  // item is found again from its id alone, as Outlook's GetItemFromID finds it.
  std::string item_entry_id(std::uint32_t folder, std::uint32_t number) const;
  struct ItemPlace {
    std::uint32_t folder;
    std::uint32_t number;  // from 1
  };
  // The item an EntryID names in the store of that StoreID, or in any store for an empty one;
  // hex digits compared without regard to case. Nothing when there is no such item.
  std::optional<ItemPlace> find_item(std::string_view store_id, std::string_view entry_id) const;
  std::vector<FailRule>& rules() { return rules_; }
  // The first rule that still fires for this call, used up by one; call is the stand-in's own
  // count of its calls. Rules that refuse a property fire only for members that can.
  std::optional<FailRule> take_rule(long call, std::string_view object, std::string_view member,
                                    unsigned kind, bool can_refuse = false);
  // A member the fixture declares absent, as older versions of Outlook lack some: it cannot be
  // bound by name.
  bool is_absent(std::string_view member) const;
  // The Invoke after which the Outlook stand-in ends its host process, as a user ending the
  // task or power failing would; 0 for none.
  long end_after_call() const { return end_after_call_; }
  // The exit code it ends the process with.
  static constexpr unsigned end_exit_code = 0xDEAD;
  const ServerBehaviour& behaviour() const { return behaviour_; }
  // The first hang rule that matches this call, used up: the call is never to return.
  std::optional<FailRule> take_hang(long call, std::string_view object, std::string_view member,
                                    unsigned kind);

  // Applies the lines other writers appended since the last read; lines this profile wrote
  // itself are already applied and are skipped. Throws ProfileError.
  void refresh();

  // Changes, each written to the file before it is applied, so that a change that cannot be
  // recorded is not made. Throw ProfileError.
  void save_item(std::uint32_t folder, std::uint32_t number,
                 const std::optional<std::string>& message_class);
  std::uint32_t create_item(std::uint32_t folder, const std::optional<std::string>& message_class);
  void set_default_form(std::uint32_t folder, const std::string& message_class,
                        const std::string& display);
  void remove_form(std::size_t form);

 private:
  class Directive;
  explicit Profile(std::string path);
  void read_appended(bool first);
  void apply(std::string_view line, int number);
  void apply_folder(Directive& directive);
  void apply_item(Directive& directive);
  static FailRule rule_target(Directive& directive);
  void apply_fail(Directive& directive);
  void apply_absent(Directive& directive);
  void apply_end(Directive& directive);
  void apply_busy(Directive& directive);
  void apply_hang(Directive& directive);
  void apply_saved(Directive& directive);
  void apply_created(Directive& directive);
  void apply_default_form(Directive& directive);
  void apply_form(Directive& directive);
  void apply_form_removed(Directive& directive);
  std::uint32_t folder_named(Directive& directive, const std::string& path) const;
  std::uint32_t intern(std::string_view text);
  std::uint32_t intern_optional(const std::optional<std::string>& text);
  void append(const std::string& line);
  [[noreturn]] void fail_at(int line, const std::string& what) const;

  std::string path_;
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  using File = std::unique_ptr<std::FILE, FileCloser>;

  File reader_;  // kept open: re-reading must not cost a file open per call
  File writer_;  // opened at the first change
  std::int64_t read_offset_ = 0;
  int lines_read_ = 0;
  bool ends_without_newline_ = false;
  std::deque<std::int64_t> own_lines_;  // offsets of the lines this profile appended, ascending
  std::vector<Folder> folders_;
  std::vector<std::uint32_t> roots_;
  std::unordered_map<std::string, std::uint32_t> folder_index_;
  // Folders by their store root and EntryID, made at the first look-up by id.
  mutable std::unordered_map<std::string, std::uint32_t> entry_index_;
  mutable std::size_t entries_indexed_ = 0;
  std::vector<std::string> texts_;
  std::unordered_map<std::string, std::uint32_t> text_index_;
  std::vector<FailRule> rules_;
  std::vector<std::string> absent_members_;
  std::vector<Form> forms_;
  long end_after_call_ = 0;
  ServerBehaviour behaviour_;
  std::vector<FailRule> hang_rules_;
};

// Member names as Automation binds them: ASCII letters without regard to case.
bool same_member_name(std::string_view one, std::string_view other);

// A value as a fixture line carries it: bare when it can stand alone, else quoted.
std::string fixture_value(std::string_view text);

}  // namespace testbed
