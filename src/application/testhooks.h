#pragma once

// Hooks for the library's own fuzz targets, which drive two managers on one user file from one
// process. Not installed.

#include <kesupluginmanager_export.h>

namespace korvel::application::impl {

class Manager;

namespace testing {

// Makes new handles use manager, as if it had been constructed last.
KESUPLUGINMANAGER_EXPORT void use_manager(Manager *manager);

// Takes in at once what another writer stored in the user file, as the file watcher would.
KESUPLUGINMANAGER_EXPORT void pick_up(Manager &manager);

} // namespace testing
} // namespace korvel::application::impl
