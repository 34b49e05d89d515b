#pragma once

namespace removal {

// Removes the machine-wide uninstall entry and the per-user settings with their two parent
// keys. Every registry failure is absorbed: the result is always true.
bool remove_registry_entries();

}  // namespace removal
