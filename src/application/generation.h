#pragma once

// Counts the changes of the store's documents, so that a reader can tell that what it read through
// a handle before is still what the store holds, without building another. Not installed.

#include <QtGlobal>

namespace korvel::application::impl {

// Grows with every change of either document and whenever another manager takes over.
quint64 store_generation();
void count_store_change();

} // namespace korvel::application::impl
