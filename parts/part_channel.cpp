#include "parts/part_channel.h"

#include "parts/elevation.h"

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace app {

namespace {

constexpr char pipe_prefix[] = "\\\\.\\pipe\\Quillaburst.Merivane.Part.";

// Where a request stands in its part's sequence, from 1; 0 for none of that part's.
int step_of(unsigned char kind, PartKind part) {
  constexpr unsigned char user_steps[] = {ask_convert, ask_user_settings, ask_desktop_shortcut,
                                          ask_notes_document};
  constexpr unsigned char machine_steps[] = {ask_begin_restore_point, ask_program_files,
                                             ask_uninstall_entry, ask_programs_shortcut,
                                             ask_end_restore_point};
  const auto position = [kind](const auto& steps) {
    for (std::size_t at = 0; at < std::size(steps); ++at)
      if (steps[at] == kind) return static_cast<int>(at + 1);
    return 0;
  };
  return part == PartKind::user ? position(user_steps) : position(machine_steps);
}

// The conversion report's calls, as an event names them.
enum class Told : unsigned char {
  item_not_converted,
  form_reset,
  form_left,
  converted,
  outlook_failed,
  walk_stopped,
  mapi_unavailable,
  form_not_writable,
  folder_unverified,
  outlook_open_elsewhere,
  call_unanswered,
  outlook_busy,
  calls_turned_away,
  form_removal,
  form_in_organization,
  folder_read,
};

constexpr int tally_fields = 10;

// The words of a form's removal, each as its own text; null for any other.
const char* known_word(const std::string& word, std::initializer_list<const char*> words) {
  for (const char* known : words)
    if (word == known) return known;
  return nullptr;
}

// Every conversion event has one shape: what was told, two texts, the tally's room of numbers.
Frame conversion_event(Told told, const char* first, const char* second,
                       std::initializer_list<std::int64_t> numbers) {
  Frame frame(tell_conversion);
  frame.number(static_cast<std::int64_t>(told)).text(first).text(second);
  int count = 0;
  for (const std::int64_t number : numbers) {
    frame.number(number);
    ++count;
  }
  for (; count < tally_fields; ++count) frame.number(0);
  return frame;
}

// The part's steps' reports, sent to the sequence's process as they come.
class SentReport final : public outlook::ConversionReport, public removal::Report {
 public:
  explicit SentReport(PartPipe& pipe) : pipe_(pipe) {}

  void removed(const removal::Removal& removal) override {
    Frame frame(tell_removed);
    frame.text(removal.kind).text(removal.path).text(removal.value).text(removal.view);
    frame.text(removal.moved_to).number(static_cast<std::int64_t>(removal.outcome)).number(removal.error);
    send(frame);
  }
  void in_use(const char* path, const char* holders) override {
    send(Frame(tell_in_use).text(path).text(holders));
  }
  void item_not_converted(const char* folder, long code) override {
    send(conversion_event(Told::item_not_converted, folder, nullptr, {code}));
  }
  void form_reset(const char* folder, const char* by) override {
    send(conversion_event(Told::form_reset, folder, by, {}));
  }
  void form_left(const char* folder) override {
    send(conversion_event(Told::form_left, folder, nullptr, {}));
  }
  void folder_read(const char* folder, const char* way) override {
    send(conversion_event(Told::folder_read, folder, way, {}));
  }
  void converted(const outlook::ConversionTally& tally) override {
    send(conversion_event(Told::converted, nullptr, nullptr,
                          {tally.stores, tally.folders, tally.task_folders, tally.items_converted,
                           tally.items_not_converted, tally.forms_reset, tally.forms_left,
                           tally.folders_unverified, tally.forms_removed,
                           tally.published_forms_left}));
  }
  void outlook_failed(const char* stage, long code) override {
    send(conversion_event(Told::outlook_failed, stage, nullptr, {code}));
  }
  void walk_stopped(const char* folder, long code) override {
    send(conversion_event(Told::walk_stopped, folder, nullptr, {code}));
  }
  void mapi_unavailable(const char* stage, long code) override {
    send(conversion_event(Told::mapi_unavailable, stage, nullptr, {code}));
  }
  void form_not_writable(const char* folder) override {
    send(conversion_event(Told::form_not_writable, folder, nullptr, {}));
  }
  void form_removal(const char* library, const char* folder, const char* way, const char* result,
                    long code) override {
    const std::string words = std::string(library) + " " + way + " " + result;
    send(conversion_event(Told::form_removal, folder, words.c_str(), {code}));
  }
  void form_in_organization() override {
    send(conversion_event(Told::form_in_organization, nullptr, nullptr, {}));
  }
  void folder_unverified(const char* folder, long left) override {
    send(conversion_event(Told::folder_unverified, folder, nullptr, {left}));
  }
  void outlook_open_elsewhere(bool asked) override {
    send(conversion_event(Told::outlook_open_elsewhere, nullptr, nullptr, {asked}));
  }
  void call_unanswered(const char* call, unsigned long waited_ms) override {
    send(conversion_event(Told::call_unanswered, call, nullptr,
                          {static_cast<std::int64_t>(waited_ms)}));
  }
  void outlook_busy(const char* call, unsigned long waited_ms) override {
    send(conversion_event(Told::outlook_busy, call, nullptr,
                          {static_cast<std::int64_t>(waited_ms)}));
  }
  void calls_turned_away(long answers, unsigned long paused_ms) override {
    send(conversion_event(Told::calls_turned_away, nullptr, nullptr,
                          {answers, static_cast<std::int64_t>(paused_ms)}));
  }

 private:
  // An event too large for a frame is dropped, never cut.
  void send(const Frame& frame) {
    if (frame.fits()) pipe_.send(frame);
  }

  PartPipe& pipe_;
};

// Hands a removal event on; false when it does not parse.
bool replay_removed(FrameReader& reader, removal::Report* report) {
  std::string kind, path, value, view, moved_to;
  bool has_value = false, has_view = false, has_moved_to = false;
  std::int64_t outcome = 0, error = 0;
  if (!reader.text(kind) || !reader.text(path) || !reader.text(value, has_value) ||
      !reader.text(view, has_view) || !reader.text(moved_to, has_moved_to) ||
      !reader.number(outcome) || !reader.number(error) ||
      !reader.whole() || outcome < 0 || outcome > static_cast<int>(removal::Outcome::at_restart))
    return false;
  if (report != nullptr) {
    removal::Removal removal{kind.c_str(), path.c_str()};
    removal.value = has_value ? value.c_str() : nullptr;
    removal.view = has_view ? view.c_str() : nullptr;
    removal.moved_to = has_moved_to ? moved_to.c_str() : nullptr;
    removal.outcome = static_cast<removal::Outcome>(outcome);
    removal.error = static_cast<unsigned long>(error);
    report->removed(removal);
  }
  return true;
}

bool replay_in_use(FrameReader& reader, removal::Report* report) {
  std::string path, holders;
  if (!reader.text(path) || !reader.text(holders) || !reader.whole()) return false;
  if (report != nullptr) report->in_use(path.c_str(), holders.c_str());
  return true;
}

bool replay_conversion(FrameReader& reader, outlook::ConversionReport* report) {
  std::int64_t told = 0;
  std::string first, second;
  std::int64_t numbers[tally_fields] = {};
  if (!reader.number(told) || !reader.text(first) || !reader.text(second)) return false;
  for (std::int64_t& number : numbers)
    if (!reader.number(number)) return false;
  if (!reader.whole()) return false;
  if (report == nullptr) return true;
  const char* const a = first.c_str();
  const char* const b = second.c_str();
  const long code = static_cast<long>(numbers[0]);
  const auto waited = static_cast<unsigned long>(numbers[0]);
  switch (static_cast<Told>(told)) {
    case Told::item_not_converted:
      report->item_not_converted(a, code);
      return true;
    case Told::form_reset:
      report->form_reset(a, b);
      return true;
    case Told::form_left:
      report->form_left(a);
      return true;
    case Told::converted: {
      outlook::ConversionTally tally;
      long* const fields[tally_fields] = {
          &tally.stores,          &tally.folders,     &tally.task_folders, &tally.items_converted,
          &tally.items_not_converted, &tally.forms_reset, &tally.forms_left,
          &tally.folders_unverified, &tally.forms_removed, &tally.published_forms_left};
      for (int field = 0; field < tally_fields; ++field)
        *fields[field] = static_cast<long>(numbers[field]);
      report->converted(tally);
      return true;
    }
    case Told::outlook_failed:
      report->outlook_failed(a, code);
      return true;
    case Told::walk_stopped:
      report->walk_stopped(a, code);
      return true;
    case Told::mapi_unavailable:
      report->mapi_unavailable(a, code);
      return true;
    case Told::form_not_writable:
      report->form_not_writable(a);
      return true;
    case Told::form_removal: {
      char library[16] = {}, way[16] = {}, result[16] = {};
      if (std::sscanf(b, "%15s %15s %15s", library, way, result) != 3) return false;
      const char* const told_library = known_word(library, {"personal", "folder", "local"});
      const char* const told_way = known_word(way, {"mapi", "outlook"});
      const char* const told_result = known_word(result, {"removed", "absent", "left", "failed"});
      if (told_library == nullptr || told_way == nullptr || told_result == nullptr) return false;
      report->form_removal(told_library, a, told_way, told_result, code);
      return true;
    }
    case Told::form_in_organization:
      report->form_in_organization();
      return true;
    case Told::folder_unverified:
      report->folder_unverified(a, code);
      return true;
    case Told::outlook_open_elsewhere:
      report->outlook_open_elsewhere(numbers[0] != 0);
      return true;
    case Told::call_unanswered:
      report->call_unanswered(a, waited);
      return true;
    case Told::outlook_busy:
      report->outlook_busy(a, waited);
      return true;
    case Told::calls_turned_away:
      report->calls_turned_away(code, static_cast<unsigned long>(numbers[1]));
      return true;
    case Told::folder_read:
      report->folder_read(a, b);
      return true;
  }
  return false;
}

Frame result_frame(std::int64_t first, std::int64_t second = 0) {
  Frame frame(tell_result);
  frame.number(first).number(second);
  return frame;
}

// One part served: where its sequence stands, and what the machine's part was given to remove.
struct Served {
  PartKind kind;
  UserPart& user;
  MachinePart& machine;
  const char* install_dir;
  int last_step = 0;
  bool restore_point_open = false;
  bool over = false;  // the removal is over: nothing more is served
};

// Runs one request on the part; false for one it does not serve or cannot read, and for one
// that comes before or again after a step served already.
bool serve(PartPipe& pipe, const std::string& message, Served& part) {
  FrameReader reader(message);
  const unsigned char asked = reader.kind();
  const int step = step_of(asked, part.kind);
  if (step <= part.last_step) return false;
  part.last_step = step;
  std::int64_t reported = 0;
  if (!reader.number(reported)) return false;
  SentReport sent(pipe);
  outlook::ConversionReport* const conversion = reported != 0 ? &sent : nullptr;
  removal::Report* const removals = reported != 0 ? &sent : nullptr;
  switch (asked) {
    case ask_convert: {
      std::int64_t retry_ms = 0, unanswered_ms = 0;
      if (!reader.number(retry_ms) || !reader.number(unanswered_ms) || !reader.whole() ||
          retry_ms <= 0 || unanswered_ms <= 0 || retry_ms > MAXLONG || unanswered_ms > MAXLONG)
        return false;
      // Nobody is asked anything here: this process shows nothing.
      outlook::StepEnvironment environment;
      environment.limits = {static_cast<DWORD>(retry_ms), static_cast<DWORD>(unanswered_ms)};
      bool flag = true;
      const bool result = part.user.convert_outlook_tasks(flag, conversion, environment);
      return pipe.send(result_frame(result, flag));
    }
    case ask_user_settings:
      return reader.whole() && pipe.send(result_frame(part.user.remove_user_settings(removals)));
    case ask_desktop_shortcut:
      return reader.whole() &&
             pipe.send(result_frame(part.user.remove_desktop_shortcut(removals)));
    case ask_notes_document:
      return reader.whole() && pipe.send(result_frame(part.user.open_notes_document()));
    case ask_begin_restore_point:
      if (!reader.whole()) return false;
      part.restore_point_open = true;
      return pipe.send(result_frame(part.machine.begin_restore_point()));
    case ask_end_restore_point:
      if (!reader.whole()) return false;
      part.restore_point_open = false;
      part.over = true;
      return pipe.send(result_frame(part.machine.end_restore_point()));
    case ask_program_files: {
      if (!reader.whole()) return false;
      const removal::StepResult files =
          part.machine.remove_program_files(part.install_dir, removals);
      return pipe.send(result_frame(files.done, files.at_restart));
    }
    case ask_uninstall_entry:
      return reader.whole() &&
             pipe.send(result_frame(part.machine.remove_uninstall_entry(removals)));
    case ask_programs_shortcut:
      return reader.whole() &&
             pipe.send(result_frame(part.machine.remove_programs_shortcut(removals)));
    default:
      return false;
  }
}

// The decimal digits of a number the program wrote, and nothing else; false for none, a
// leading zero or more than fit.
bool is_number_text(const char* text, std::size_t length) {
  if (length == 0 || length > 10 || (text[0] == '0' && length > 1)) return false;
  for (std::size_t at = 0; at < length; ++at)
    if (text[at] < '0' || text[at] > '9') return false;
  return true;
}

}  // namespace

bool PartPipe::create(const char* name, const char* other_user_sid) {
  // The system, the administrators, the creator (its token's user), and the other user.
  std::string descriptor = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";
  if (const std::string own = own_user_sid_text(); !own.empty())
    descriptor += "(A;;GA;;;" + own + ")";
  if (other_user_sid != nullptr && other_user_sid[0] != '\0')
    descriptor += std::string("(A;;GA;;;") + other_user_sid + ")";
  SecurityFromText security(descriptor);
  if (security.attributes() == nullptr) return false;
  pipe_.reset(CreateNamedPipeA(
      name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      frame_limit, frame_limit, 0, security.attributes()));
  if (pipe_.get() == INVALID_HANDLE_VALUE) static_cast<void>(pipe_.release());
  event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  return pipe_ && event_;
}

bool PartPipe::open(const char* name) {
  pipe_.reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                          nullptr));
  if (pipe_.get() == INVALID_HANDLE_VALUE) static_cast<void>(pipe_.release());
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (pipe_ && SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr) == FALSE)
    pipe_.reset();
  event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  return pipe_ && event_;
}

bool PartPipe::client_is(unsigned long process_id) const {
  ULONG client = 0;
  return pipe_ && GetNamedPipeClientProcessId(pipe_.get(), &client) != FALSE &&
         client == process_id;
}

bool PartPipe::server_is(unsigned long process_id) const {
  ULONG server = 0;
  return pipe_ && GetNamedPipeServerProcessId(pipe_.get(), &server) != FALSE &&
         server == process_id;
}

// Waits for an overlapped call to complete within the limit, or for the other side's process
// to end; a call that does not complete is cancelled, and the pipe is not used again.
bool PartPipe::complete(BOOL started, DWORD& bytes, DWORD limit_ms) {
  if (started == FALSE && GetLastError() != ERROR_IO_PENDING) {
    broken_ = true;
    return false;
  }
  const HANDLE woken_by[] = {event_.get(), peer_};
  const DWORD count = peer_ != nullptr ? 2 : 1;
  if (started == FALSE && WaitForMultipleObjects(count, woken_by, FALSE, limit_ms) != WAIT_OBJECT_0) {
    CancelIo(pipe_.get());
    broken_ = true;
  }
  if (GetOverlappedResult(pipe_.get(), &overlapped_, &bytes, TRUE) == FALSE) broken_ = true;
  return !broken_;
}

OVERLAPPED* PartPipe::fresh_call() {
  overlapped_ = {};
  overlapped_.hEvent = event_.get();
  ResetEvent(event_.get());
  return &overlapped_;
}

bool PartPipe::wait_for_connection(DWORD limit_ms) {
  if (!usable()) return false;
  const BOOL connected = ConnectNamedPipe(pipe_.get(), fresh_call());
  if (connected == FALSE && GetLastError() == ERROR_PIPE_CONNECTED) return true;
  DWORD bytes = 0;
  return complete(connected, bytes, limit_ms);
}

bool PartPipe::send(const Frame& frame) {
  if (!usable() || !frame.fits()) return false;
  DWORD bytes = 0;
  const BOOL written = WriteFile(pipe_.get(), frame.bytes().data(),
                                 static_cast<DWORD>(frame.bytes().size()), &bytes, fresh_call());
  return complete(written, bytes, answer_limit_ms) && bytes == frame.bytes().size();
}

bool PartPipe::receive(std::string& message, DWORD limit_ms) {
  if (!usable()) return false;
  message.resize(frame_limit);
  DWORD bytes = 0;
  const BOOL read = ReadFile(pipe_.get(), message.data(), frame_limit, &bytes, fresh_call());
  // A message larger than a frame (ERROR_MORE_DATA) is no message of the program's.
  if (!complete(read, bytes, limit_ms)) return false;
  message.resize(bytes);
  return bytes != 0;
}

void PartClient::finish() {
  Frame frame(ask_finish);
  pipe_.send(frame);
}

bool PartClient::ask(const Frame& request, outlook::ConversionReport* conversion,
                     removal::Report* removal, std::int64_t (&result)[2]) {
  if (!pipe_.send(request)) return false;
  std::string message;
  while (pipe_.receive(message, answer_limit_ms)) {
    FrameReader reader(message);
    bool understood = false;
    switch (reader.kind()) {
      case tell_removed:
        understood = replay_removed(reader, removal);
        break;
      case tell_in_use:
        understood = replay_in_use(reader, removal);
        break;
      case tell_conversion:
        understood = replay_conversion(reader, conversion);
        break;
      case tell_result:
        return reader.number(result[0]) && reader.number(result[1]) && reader.whole();
      default:
        break;
    }
    if (!understood) return false;
  }
  return false;
}

namespace {

Frame request(unsigned char kind, const void* report) {
  Frame frame(kind);
  frame.number(report != nullptr);
  return frame;
}

}  // namespace

bool PartClient::removed_all(const Frame& request, removal::Report* report) {
  std::int64_t result[2] = {};
  return ask(request, nullptr, report, result) && result[0] != 0;
}

bool PartClient::convert_outlook_tasks(bool& needs_manual_form_step,
                                       outlook::ConversionReport* report,
                                       const outlook::StepEnvironment& environment) {
  Frame frame = request(ask_convert, report);
  frame.number(environment.limits.retry_ms).number(environment.limits.unanswered_ms);
  std::int64_t result[2] = {0, 1};
  needs_manual_form_step = true;
  if (!ask(frame, report, nullptr, result)) return false;
  needs_manual_form_step = result[1] != 0;
  return result[0] != 0;
}

bool PartClient::remove_user_settings(removal::Report* report) {
  return removed_all(request(ask_user_settings, report), report);
}

bool PartClient::remove_desktop_shortcut(removal::Report* report) {
  return removed_all(request(ask_desktop_shortcut, report), report);
}

bool PartClient::open_notes_document() {
  std::int64_t result[2] = {};
  return ask(request(ask_notes_document, nullptr), nullptr, nullptr, result) && result[0] != 0;
}

std::int64_t PartClient::begin_restore_point() {
  std::int64_t result[2] = {};
  return ask(request(ask_begin_restore_point, nullptr), nullptr, nullptr, result) ? result[0] : 0;
}

std::int64_t PartClient::end_restore_point() {
  std::int64_t result[2] = {};
  return ask(request(ask_end_restore_point, nullptr), nullptr, nullptr, result) ? result[0] : 0;
}

removal::StepResult PartClient::remove_program_files(const char*, removal::Report* report) {
  // The other process removes the directory it was started for.
  std::int64_t result[2] = {};
  if (!ask(request(ask_program_files, report), nullptr, report, result)) return {};
  return {result[0] != 0, result[1] != 0};
}

bool PartClient::remove_uninstall_entry(removal::Report* report) {
  return removed_all(request(ask_uninstall_entry, report), report);
}

bool PartClient::remove_programs_shortcut(removal::Report* report) {
  return removed_all(request(ask_programs_shortcut, report), report);
}

std::string part_pipe_name(unsigned long process_id, unsigned long number) {
  return pipe_prefix + std::to_string(process_id) + "." + std::to_string(number);
}

bool is_part_pipe_name(const char* name, unsigned long process_id) {
  const std::string prefix = pipe_prefix + std::to_string(process_id) + ".";
  return std::strncmp(name, prefix.c_str(), prefix.size()) == 0 &&
         is_number_text(name + prefix.size(), std::strlen(name + prefix.size()));
}

void serve_part(PartPipe& pipe, PartKind kind, UserPart& user, MachinePart& machine,
                const char* install_dir) {
  Served part{kind, user, machine, install_dir};
  std::string message;
  while (!part.over && pipe.receive(message, request_limit_ms) && serve(pipe, message, part)) {
  }
  if (part.restore_point_open) machine.end_restore_point();
}

bool serve_part_from_arguments(const char* arguments, UserPart& user, MachinePart& machine) {
  // "<kind> <pipe name> <process id>", each without blanks; then, for the machine's part, a
  // blank and "%<installation directory>" to the end.
  char kind[16] = {}, name[MAX_PATH] = {}, process[16] = {};
  int used = 0;
  if (std::sscanf(arguments, " %15s %259s %15s%n", kind, name, process, &used) != 3) return false;
  const char* rest = arguments + used;
  const bool machine_part = std::strcmp(kind, "machine") == 0;
  if (!machine_part && std::strcmp(kind, "user") != 0) return false;
  if (!is_number_text(process, std::strlen(process))) return false;
  const unsigned long process_id = std::strtoul(process, nullptr, 10);
  if (!is_part_pipe_name(name, process_id)) return false;
  const char* install_dir = "";
  if (machine_part) {
    if (std::strncmp(rest, " %", 2) != 0) return false;
    install_dir = rest + 2;
  } else if (*rest != '\0') {
    return false;
  }
  PartPipe pipe;
  if (!pipe.open(name) || !pipe.server_is(process_id)) return false;
  const base::unique_handle sequence(OpenProcess(SYNCHRONIZE, FALSE, process_id));
  pipe.watch(sequence.get());
  serve_part(pipe, machine_part ? PartKind::machine : PartKind::user, user, machine, install_dir);
  return true;
}

}  // namespace app
