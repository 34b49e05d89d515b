#pragma once

namespace removal {

// Removes the machine-wide uninstall entry and the per-user settings with their two parent
// keys. Every registry failure is absorbed; the answer is false when the uninstall entry or
// the add-in's own settings key is still there afterwards (what was never there counts as
// removed, and the maker's key may stay for another product's).
bool remove_registry_entries();

}  // namespace removal
