#pragma once
// Inside the Outlook stand-in: the process-wide counts, the call log and the object base that
// every automation object of the server shares.

#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "testbed/profile/profile.h"

namespace testbed {

// Outlook's application class, which the program creates by CLSID.
inline constexpr CLSID outlook_application_clsid = {
    0x0006F033, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct ServerCounts {
  LONG calls = 0;       // Invoke calls, failed ones included
  LONG objects = 0;     // live objects, class factories included
  LONG references = 0;  // the sum of their reference counts
  LONG locks = 0;       // IClassFactory::LockServer
  LONG automation = 0;  // live automation objects (the class factories not counted)
  LONG most_automation = 0;  // the most of them alive at once
};
extern ServerCounts server_counts;

// How the server is reached: in the caller's process (the DLL), or as a local server of its own
// (the EXE), where COM's message filter, not the object, turns calls away.
extern bool serving_out_of_process;
// Called on the server's thread when the last automation object is gone, for the local server
// to end; null in process.
extern void (*last_object_gone)();
// The local server's client, whose end ends a call that hangs; null in process.
extern HANDLE client_process;

// The busy options of the profile whose Application was made last, from that moment on.
void start_busy_period(const ServerBehaviour& behaviour);
// Whether the call arriving now is turned away, as Outlook turns calls away while it starts or
// shows a dialog. Counts the call towards busy_every.
bool turning_call_away();
// A call the profile says never returns: it waits for ever, or in the local server until its
// client's process is gone, and then ends the server.
[[noreturn]] void hang_for_good();

// One line "outlook <text>" in the file that MERIVANE_STANDIN_LOG names; nothing when unset.
void log_line(const std::string& text);
void close_log();
std::string hresult_text(HRESULT result);
std::string interface_name(REFIID iid);
// What the environment variable holds; empty when it is unset.
std::string environment_text(const char* name);

// The reference count of one object, which also keeps server_counts: the object counts from
// construction to destruction, each of its references while it is held.
class ReferenceCount {
 public:
  ReferenceCount();
  ~ReferenceCount();
  ReferenceCount(const ReferenceCount&) = delete;
  ReferenceCount& operator=(const ReferenceCount&) = delete;
  ULONG add();
  ULONG release();  // the owner deletes itself when this reaches 0

 private:
  LONG references_ = 1;
};

// How a member is called and what it takes. property_lists: two lists of equal length, names
// and values, as PropertyAccessor.SetProperties takes them; table_arguments: an optional text
// and an optional number (Folder.GetTable's filter and contents); text_optional_text: a text
// and an optional one (NameSpace.GetItemFromID's two ids); index: a number from 1 or a name.
enum class Arguments {
  none,
  text,
  number,
  optional_class,
  put_text,
  property_lists,
  table_arguments,
  text_optional_text,
  index,
  binary,  // one array of bytes, as PropertyAccessor.BinaryToString takes it
};

struct Member {
  DISPID id;
  const char* name;
  unsigned kind;  // one CallKind
  Arguments arguments;
};

// A list as Automation callers pass one: VT_ARRAY of VARIANTs or of BSTRs.
bool is_list_type(VARTYPE type);
// Its length; nothing when it has no array, or one that is not one-dimensional or does not hold
// the elements its type names.
std::optional<ULONG> list_length(const VARIANT& list);
// An element of a list whose length was checked, which the VARIANT does not own: a BSTR
// element comes as a VT_BSTR VARIANT.
VARIANT list_element(const VARIANT& list, ULONG at);

// An automation object served by DISPID: the checks of the call and its logging, the
// fail rules and the reference counting are here; each object adds its members, and the few of
// them that can be bound by name.
class DispatchObject : public IDispatch {
 public:
  DispatchObject(std::string name, std::shared_ptr<Profile> profile);
  virtual ~DispatchObject();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return references_.add(); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                   DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argument_error) override;

  // The query without logging or fail rules, for the server's own use.
  HRESULT query(REFIID iid, void** out);
  const std::string& name() const { return name_; }

 protected:
  virtual void* interface_for(REFIID iid);
  virtual std::span<const Member> members() const = 0;
  // Outlook binds every member by name; the stand-in only those that the program binds so.
  virtual std::span<const char* const> names_bound() const { return {}; }
  // Runs a member whose call passed every check. result is null when the caller wants none.
  virtual HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) = 0;
  Profile& profile() { return *profile_; }
  // The property tag that a fail rule refuses in the call being performed; 0 for none.
  std::uint32_t refused_property() const { return refused_property_; }
  const std::shared_ptr<Profile>& shared_profile() const { return profile_; }

 private:
  HRESULT dispatch(long call, DISPID id, REFIID iid, WORD flags, DISPPARAMS* parameters,
                   VARIANT* result, EXCEPINFO* exception, UINT* argument_error);
  const Member* resolve(DISPID id, WORD flags) const;
  std::string member_text(DISPID id) const;
  const Member* bound_member(const std::string& name) const;

  ReferenceCount references_;
  std::string name_;
  std::shared_ptr<Profile> profile_;
  std::uint32_t refused_property_ = 0;
};

// A new class object for Outlook's Application, queried for iid.
HRESULT make_class_factory(REFIID iid, void** out);
// The summary line of the counts, and the log closed.
void write_summary();

// Loads the profile named by MERIVANE_PROFILE into a new Application and queries it.
HRESULT create_application(REFIID iid, void** out);

}  // namespace testbed
