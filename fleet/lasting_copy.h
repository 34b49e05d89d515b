#pragma once
// The program as the logon entries name it: a copy that lasts (a deployment system's cache is
// emptied after the run) in a folder that only administrators and the system can write, so
// that no user can change what every user's logon runs.

#include <string>

namespace app {

struct LastingCopy {
  std::string program;           // its full name; empty when none could be had
  const char* reason = nullptr;  // why not: "no_folder", "copy_failed", "folder_writable"
  unsigned long error = 0;       // the platform's error, where one was given
};

// The program in the common program files folder's Quillaburst, where it normally stands:
// this one when it runs from there, else a copy of it placed there now.
LastingCopy place_lasting_copy();

// Whether anyone but the system, the administrators, the platform's installer and the account
// this process runs as (an administrator or the system) may change what is at path: write into
// it, delete it, or change its security or owner. True too when its security cannot be read.
bool writable_by_others(const char* path);

}  // namespace app
