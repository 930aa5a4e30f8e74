#include "dockplayer.h"

#include <QMetaType>

namespace {

// A queued connection finds the parameter types of paused() by the names written in the
// signature; "std::size_t" is no name Qt knows by itself. Registered when the library loads, so
// that connections made by name work before the first dock exists.
const int s_size_type = qRegisterMetaType<std::size_t>("std::size_t");

} // namespace
