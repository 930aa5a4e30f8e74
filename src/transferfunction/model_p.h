#pragma once

// Internals of the transfer-function model shared by its source files; never installed.

#include "application/timerrestart.h"
#include "transferfunction/model.h"

#include <QJsonObject>

#include <string>
#include <vector>

namespace korvel::transferfunction {

// The state of a model beyond the fields of its installed header, so that state can be added
// without changing the header's layout again. Guarded by the model's mutex.
class ModelPrivate
{
public:
    // The stored colour table converted last: a window change that finds the same table (the
    // same shared JSON object) does not convert its 768 entries again.
    QJsonObject converted_from;
    std::vector<double> red;
    std::vector<double> green;
    std::vector<double> blue;
    // Restarts the change timer; not guarded, it may be asked from any thread.
    application::impl::TimerRestart *change_restart = nullptr;
};

// True for the colour tables that are computed, not read from the store.
bool is_built_in_clut(const std::string &clut);

// The stored colour table named clut, read through a handle of its own, or an empty object.
// Called without the model's lock: the store's lock is never taken inside a model's.
QJsonObject read_stored_clut(const std::string &clut);

// Replaces points by 256 computed from the colour table clut (stored_table when it is not built
// in) and the opacity kind across the window; leaves them, with a warning, when the table cannot
// be used. Called with the model's lock held.
void generate_points(ModelPrivate &d, const std::string &clut, const QJsonObject &stored_table,
                     const std::string &opacity_table, float width, float level,
                     std::vector<point::Point> &points);

// True, with a warning naming it and what is not done ("saved"), for a preset name with "/": it
// would be stored nested inside another preset, or below one of its members.
bool refuses_preset_name(const std::string &name, const char *action);

// False, with a warning naming it, for a point with a member that is not finite.
bool is_finite_point(const point::Point &point, std::size_t index);

// False, with a warning naming it, for a window that is not finite.
bool is_finite_window(float width, float level);

} // namespace korvel::transferfunction
