#pragma once

// Where the library finds its two files when the host names none: used by Manager() and by the
// tools built with the library, so that both look in the same places. Not installed.

#include <kesupluginmanager_export.h>

#include <QString>

namespace korvel::application::impl {

// $HOME/.kesu/presets.json, with the home from the password database when HOME is unset or
// empty; empty, for no user file at all, when that home is "/" or nothing.
KESUPLUGINMANAGER_EXPORT QString default_user_file();

// The first that exists of "../Resources/3d_presets.json" beside the executable's folder,
// "3d_presets.json" in that folder, and the installed data folder beside the library; without
// any, the first of the two beside the executable, as the folder "../Resources" exists or not.
KESUPLUGINMANAGER_EXPORT QString default_global_file();

} // namespace korvel::application::impl
