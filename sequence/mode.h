#pragma once
// How much of a run a person sees. No Windows header is needed here, so the command line that
// chooses it also builds natively for fuzzing.

namespace app {

enum class Mode {
  interactive,  // as the user sees it: confirmation, dialog, final message
  passive,      // the dialog only
  quiet,        // no window at all, and no pause made for a watcher
};

}  // namespace app
