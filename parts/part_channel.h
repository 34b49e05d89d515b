#pragma once
// A part of the removal run by another process of the program: the pipe between the two, the
// part as the sequence's process asks it (each request answered by the events the part's
// steps report and then its result), and the loop that serves it in the other process. Either
// side waits for the other only within a bound, and only while the other's process lives.

#include <windows.h>

#include <string>

#include "base/unique_any.h"
#include "parts/frame.h"
#include "sequence/parts.h"

namespace app {

// The switch that starts a process of the program as a part's server; no user types it.
inline constexpr char part_switch[] = "/merivane-part";

// The messages, by their first byte: a request, an event of a request under way, its result.
enum PartMessage : unsigned char {
  ask_convert = 1,
  ask_user_settings,
  ask_desktop_shortcut,
  ask_begin_restore_point,
  ask_end_restore_point,
  ask_program_files,
  ask_uninstall_entry,
  ask_programs_shortcut,
  ask_finish,
  ask_notes_document,
  tell_removed = 32,
  tell_in_use,
  tell_conversion,
  tell_result = 64,
};

// A pipe's name as the program makes it for the process of that id; the part's process takes
// no other.
std::string part_pipe_name(unsigned long process_id, unsigned long number);
bool is_part_pipe_name(const char* name, unsigned long process_id);

// How long one side waits for the other: the part's process to connect once started, an
// answer to a request (step 1 included, whose own limits end it well before), and the next
// request (the final message box may stay up a while).
inline constexpr DWORD connect_limit_ms = 60000;
inline constexpr DWORD answer_limit_ms = 30 * 60000;
inline constexpr DWORD request_limit_ms = 60 * 60000;

class PartPipe {
 public:
  // The sequence's end: a new pipe of that name, which the system, the administrators, this
  // process's user and, given its SID as text, one other user may open, from this machine
  // only. False when the name is taken.
  bool create(const char* name, const char* other_user_sid);
  // The part's end.
  bool open(const char* name);
  // Whether the process at the other end is the one of that id, as the platform tells it.
  bool client_is(unsigned long process_id) const;
  bool server_is(unsigned long process_id) const;
  // The other side's process, kept open by the caller: every wait ends when it does.
  void watch(HANDLE process) { peer_ = process; }
  bool wait_for_connection(DWORD limit_ms);
  bool send(const Frame& frame);
  bool receive(std::string& message, DWORD limit_ms);
  // Once false, every later call fails at once.
  bool usable() const { return bool(pipe_) && !broken_; }

 private:
  bool complete(BOOL started, DWORD& bytes, DWORD limit_ms);
  // The call record of the next overlapped call, its event reset.
  OVERLAPPED* fresh_call();

  base::unique_handle pipe_;
  base::unique_handle event_;
  HANDLE peer_ = nullptr;
  OVERLAPPED overlapped_{};
  bool broken_ = false;
};

// Both parts as another process serves them. A request the other side does not answer ends
// as that step's failure, and so does every request after it.
class PartClient final : public UserPart, public MachinePart {
 public:
  explicit PartClient(PartPipe& pipe) : pipe_(pipe) {}
  // Tells the other side that the removal is over, so that it ends.
  void finish();

  bool convert_outlook_tasks(bool& needs_manual_form_step, outlook::ConversionReport* report,
                             const outlook::StepEnvironment& environment) override;
  bool remove_user_settings(removal::Report* report) override;
  bool remove_desktop_shortcut(removal::Report* report) override;
  bool open_notes_document() override;
  std::int64_t begin_restore_point() override;
  std::int64_t end_restore_point() override;
  removal::StepResult remove_program_files(const char* install_dir,
                                           removal::Report* report) override;
  bool remove_uninstall_entry(removal::Report* report) override;
  bool remove_programs_shortcut(removal::Report* report) override;

 private:
  // Sends the request and hands the events that come back to the reports; the result's
  // numbers land in result. False when no whole result came.
  bool ask(const Frame& request, outlook::ConversionReport* conversion, removal::Report* removal,
           std::int64_t (&result)[2]);
  // A removal's request, whose result is whether what it removes is gone.
  bool removed_all(const Frame& request, removal::Report* report);

  PartPipe& pipe_;
};

enum class PartKind : unsigned char { user, machine };

// Serves the requests of one part's kind that come through the pipe to the part, each step's
// at most once and in the sequence's order, until the sequence's side says it is done or is
// gone, or the removal is over (the restore point ended). A request of the other part's, one
// out of order and one that does not parse end it. The machine's part removes install_dir,
// which it was given when it started, whatever a request may say. A machine's part whose
// restore point was begun and not ended ends it before this returns.
void serve_part(PartPipe& pipe, PartKind kind, UserPart& user, MachinePart& machine,
                const char* install_dir = "");

// The server process's side, from the switch's arguments: "machine <pipe> <process id>
// %<installation directory>" or "user <pipe> <process id>". False when they are not such, the
// pipe is not one the program makes for that process, cannot be opened, or is served by
// another process.
bool serve_part_from_arguments(const char* arguments, UserPart& user, MachinePart& machine);

}  // namespace app
